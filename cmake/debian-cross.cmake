# Cross-builds with a Debian cross compiler for triplet, and runs what it
# builds (the unit tests among them) under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_STRIP ${triplet}-strip)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu} -L /usr/${triplet})
