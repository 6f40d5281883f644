# Cross-compiling for 64-bit Windows on ARM with Debian's clang and lld. Debian packages no
# aarch64 MinGW runtime: scripts/setup builds one from Debian's mingw-w64 source into
# out/arm64-prefix/aarch64-w64-mingw32, with the compiler builtins (as libgcc.a) and zstd.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(TOOLCHAIN_PREFIX aarch64-w64-mingw32)
get_filename_component(arm64_sysroot "${CMAKE_CURRENT_LIST_DIR}/../out/arm64-prefix" ABSOLUTE)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_ASM_COMPILER clang-14)
foreach(lang C CXX ASM)
  set(CMAKE_${lang}_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
endforeach()
set(CMAKE_SYSROOT "${arm64_sysroot}")
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_RC_COMPILER llvm-rc-14 CACHE FILEPATH "")

# The C++ headers are libstdc++'s from Debian's x86-64 MinGW compiler. The launcher uses only
# its header-only parts (std::array, type traits, numeric limits), and the one target header
# among them, c++config.h, describes the MinGW C runtime, not the processor: the same for
# both. The few symbols the library itself would supply come from tavren_cxx_support.
file(GLOB cxx_headers LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++)
list(GET cxx_headers 0 cxx_headers)
set(CMAKE_CXX_FLAGS_INIT "-Wno-unused-command-line-argument -nostdinc++ -isystem ${cxx_headers} -isystem ${cxx_headers}/x86_64-w64-mingw32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++ -static-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++ -static-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++ -static-libgcc")

set(CMAKE_FIND_ROOT_PATH "${arm64_sysroot}/${TOOLCHAIN_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
