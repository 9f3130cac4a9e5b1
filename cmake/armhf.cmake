# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake: needs g++-arm-linux-gnueabihf
# and qemu-user.
set(triplet arm-linux-gnueabihf)
set(processor arm)
set(qemu arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
