# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake -DDEBIAN_ARCH=arm64
#
# Cross-builds with Debian's cross compiler for that architecture (package
# g++-TRIPLET) and runs what it builds, the unit tests among them, under
# qemu-user; both are looked up in debian-architectures beside this file.
# encrypt_video_fs needs that architecture's libfuse3-dev and pkgconf
# (libfuse3-dev:arm64 pkgconf:arm64), or -DENCRYPT_VIDEO_FS=OFF.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEBIAN_ARCH)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian-architectures row
    REGEX "^${DEBIAN_ARCH} ")
if(NOT DEBIAN_ARCH OR NOT row)
  message(FATAL_ERROR "Set -DDEBIAN_ARCH to an architecture of "
      "${CMAKE_CURRENT_LIST_DIR}/debian-architectures")
endif()
string(REGEX REPLACE " +" ";" row "${row}")
list(GET row 1 triplet)
list(GET row 2 emulator)
string(REGEX REPLACE "-.*" "" processor ${triplet})

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_STRIP ${triplet}-strip)
# qemu takes the target's loader and C and C++ libraries from the target's
# own packages where dpkg installed them (libc6:ARCH, libstdc++6:ARCH),
# else from the cross compiler's copies.  The loader of one would find the
# C library of the other, and two versions of them can crash.
execute_process(COMMAND dpkg-architecture -a${DEBIAN_ARCH} -qDEB_HOST_MULTIARCH
    OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(multiarch AND EXISTS /usr/lib/${multiarch}/libstdc++.so.6 AND
    (EXISTS /lib/${multiarch}/libc.so.6 OR EXISTS /usr/lib/${multiarch}/libc.so.6))
  set(libc_prefix /)
else()
  set(libc_prefix /usr/${triplet})
endif()
set(DEBIAN_EMULATOR ${emulator} -L ${libc_prefix} CACHE INTERNAL
    "how the target's programs run here")
set(CMAKE_CROSSCOMPILING_EMULATOR ${DEBIAN_EMULATOR})
# pkg-config must answer for the target's libraries, not this machine's:
# pkgconf:ARCH brings the wrapper that knows where they are.
set(PKG_CONFIG_EXECUTABLE /usr/bin/${triplet}-pkg-config CACHE FILEPATH
    "pkg-config of ${DEBIAN_ARCH} (package pkgconf:${DEBIAN_ARCH})")
