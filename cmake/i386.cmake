# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake: needs g++-i686-linux-gnu and
# qemu-user.
set(triplet i686-linux-gnu)
set(processor i686)
set(qemu i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
