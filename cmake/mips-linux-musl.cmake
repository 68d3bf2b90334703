# Static cross build for the router against musl: the same Debian g++-mips-linux-gnu and
# its C++ headers as cmake/mips-linux-gnu.cmake, but musl's headers, start files and libc.a
# in place of glibc's, linked statically, so a binary needs nothing from the device's
# C library. scripts/build-musl installs musl where MUSL_ROOT points by default.
#   scripts/build-musl && cmake --preset mips-static
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MIPS_TRIPLE mips-linux-gnu)
set(MUSL_ROOT ${CMAKE_CURRENT_LIST_DIR}/../build/musl/mips
    CACHE PATH "musl built for the device (include/, lib/)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MUSL_ROOT)
if(NOT EXISTS ${MUSL_ROOT}/lib/libc.a)
  message(FATAL_ERROR "no musl in ${MUSL_ROOT}: run scripts/build-musl first")
endif()

set(CMAKE_C_COMPILER ${MIPS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPS_TRIPLE}-g++)
set(CMAKE_STRIP ${MIPS_TRIPLE}-strip CACHE FILEPATH "strip for the device binaries")

# Of the compiler's own header directories only the C++ ones and its built-in headers
# (stddef.h, stdarg.h) stay; musl's stand where glibc's were, ahead of the built-in ones.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v - INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_dirs "${search}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(includes "-nostdinc")
foreach(dir IN LISTS cxx_dirs)
  string(STRIP "${dir}" dir)
  string(APPEND includes " -isystem ${dir}")
endforeach()
string(APPEND includes " -isystem ${MUSL_ROOT}/include -isystem ${gcc_include}"
       " -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")
set(CMAKE_CXX_FLAGS_INIT "-EB -march=mips32r2 ${includes}")

# Static, from musl's start files and libc.a, gcc's static crtbegin/crtend and libgcc for
# what the CPU lacks (64-bit division); nothing else from the compiler's default libraries.
foreach(file crtbeginT.o crtend.o libgcc.a)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
                  OUTPUT_VARIABLE gcc_${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> -static -nostdlib \
${MUSL_ROOT}/lib/crt1.o ${MUSL_ROOT}/lib/crti.o ${gcc_crtbeginT.o} <OBJECTS> -o <TARGET> \
<LINK_LIBRARIES> -Wl,--start-group ${MUSL_ROOT}/lib/libc.a ${gcc_libgcc.a} -Wl,--end-group \
${gcc_crtend.o} ${MUSL_ROOT}/lib/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${MUSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static binaries run under the emulator as they are: no sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips-static)
