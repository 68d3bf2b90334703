# Cross build for the router: 32-bit big-endian MIPS (mips32r2, o32) with Debian's
# g++-mips-linux-gnu, whose C library lives in /usr/mips-linux-gnu.
#   cmake -S . -B build/mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
# or the "mips" preset, which also optimises for size and strips.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MIPS_TRIPLE mips-linux-gnu)
set(MIPS_SYSROOT /usr/${MIPS_TRIPLE})

set(CMAKE_C_COMPILER ${MIPS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPS_TRIPLE}-g++)
set(CMAKE_STRIP ${MIPS_TRIPLE}-strip CACHE FILEPATH "strip for the device binaries")
# The daemons are linked as plain executables (-no-pie): their code need not be position
# independent, and their calls into the C library go through a PLT rather than the GOT, which
# makes each a few hundred bytes smaller.
set(CMAKE_CXX_FLAGS_INIT "-EB -march=mips32r2 -fno-pie -mplt")

# Headers and libraries from the target's sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${MIPS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CMake (and anyone reading the cache) run a built binary on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips-static -L ${MIPS_SYSROOT})
