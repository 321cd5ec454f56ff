# Cross-builds the launcher for the aarch64 target with Debian's
# g++-aarch64-linux-gnu, statically linked:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DGTest_DIR=<GoogleTest built for aarch64>/lib/cmake/GTest   (or -DTARROW_TESTS=OFF)
# The tests are built but not registered with CTest: they run on the target.
# tests/vm/run-aarch64.sh builds GoogleTest, the launcher and the tests and runs
# them under a real arm64 kernel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers come from the cross sysroot only, never from the
# build machine's x86_64 directories.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# fmt and Boost.JSON are used header-only, and their headers do not depend on
# the architecture: the build machine's copies serve. Only those two are made
# visible, through a directory of links, so that no other x86_64 header (glibc's
# included) can shadow the cross sysroot's.
set(TARROW_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${TARROW_CROSS_INCLUDE})
foreach(dir boost fmt)
  if(NOT EXISTS ${TARROW_CROSS_INCLUDE}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${TARROW_CROSS_INCLUDE}/${dir} SYMBOLIC)
  endif()
endforeach()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${TARROW_CROSS_INCLUDE}")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
