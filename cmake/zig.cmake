# Builds the module with zig's clang for an older C library than this
# machine's: the manylinux wheels of `make dist`. zig carries the headers and
# symbol lists of many glibc versions and its own C++ runtime (libc++ and
# libc++abi), built for the target and linked into the module.
#
#   cmake -S . -B build/zig -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DQUARRINE_ZIG=/path/to/zig
#
# QUARRINE_ZIG is the zig executable (default: `zig` on PATH; `make dist`
# uses the one of the ziglang package from PyPI). QUARRINE_ZIG_TARGET is the
# target triple with the oldest glibc to run on (default 2.17, the glibc of
# manylinux2014).
set(QUARRINE_ZIG_TARGET "x86_64-linux-gnu.2.17" CACHE STRING "zig's target: architecture, OS, C library and its oldest version")
if(NOT QUARRINE_ZIG)
  find_program(QUARRINE_ZIG zig)
endif()
if(NOT QUARRINE_ZIG)
  message(FATAL_ERROR "cmake/zig.cmake: set QUARRINE_ZIG to the zig executable (pip install ziglang)")
endif()
# try_compile projects read this file again and need both.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUARRINE_ZIG QUARRINE_ZIG_TARGET)

# A compiler given as two items is the program and one argument string.
set(CMAKE_C_COMPILER "${QUARRINE_ZIG}" "cc -target ${QUARRINE_ZIG_TARGET}")
set(CMAKE_CXX_COMPILER "${QUARRINE_ZIG}" "c++ -target ${QUARRINE_ZIG_TARGET}")

# The unwinder that the module's C++ runtime calls must be the one the C
# library unwinds with when it ends a thread: the shared libgcc_s.so.1 that
# every manylinux policy allows (see CMakeLists.txt). It is linked against
# this machine's copy, whose symbols are versioned GCC_3.0 and later; the
# system that loads the module brings its own.
string(REGEX MATCH "^[^-]+" _quarrine_zig_arch "${QUARRINE_ZIG_TARGET}")
set(_quarrine_unwinder_dirs
  /lib/${_quarrine_zig_arch}-linux-gnu /usr/lib/${_quarrine_zig_arch}-linux-gnu
  /usr/${_quarrine_zig_arch}-linux-gnu/lib)
if(_quarrine_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  list(APPEND _quarrine_unwinder_dirs /lib64 /usr/lib64 /lib /usr/lib)
endif()
find_file(QUARRINE_ZIG_UNWINDER libgcc_s.so.1 PATHS ${_quarrine_unwinder_dirs} NO_DEFAULT_PATH)
if(NOT QUARRINE_ZIG_UNWINDER)
  message(FATAL_ERROR "cmake/zig.cmake: no libgcc_s.so.1 for ${_quarrine_zig_arch} in ${_quarrine_unwinder_dirs}")
endif()
