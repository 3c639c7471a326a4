# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; CTest
# runs the programs under qemu-aarch64 (Debian's qemu-user) with the cross
# toolchain's C and C++ runtimes. Only the C++ test programs: the Python
# module would need an aarch64 interpreter's development files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
# GCC notes that it passes some std::pair arguments differently since 10.1;
# that matters only between objects built by GCC before and after, and
# every object here comes from this one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
