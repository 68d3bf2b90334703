// Read first by every file of the static build (cmake/mips-linux-musl.cmake). The cross
// compiler's C++ headers were configured against glibc and test its version with
// __GLIBC_PREREQ, which musl leaves undefined: the C library is no glibc of any version.
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
