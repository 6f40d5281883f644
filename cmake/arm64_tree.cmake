# The Windows on ARM tree: the launcher stub built for ARM64 from the launcher's own sources,
# kept in out/lib/tavren/arm64 where the packer embeds it, and the test main library.
set(TAVREN_MINGW_PREFIX "${CMAKE_SOURCE_DIR}/out/arm64-prefix/aarch64-w64-mingw32")
set(TAVREN_LAUNCHER_LIBDIR "${CMAKE_SOURCE_DIR}/out/lib/tavren/arm64")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
add_library(zstd_win STATIC IMPORTED)
set_target_properties(zstd_win PROPERTIES
  IMPORTED_LOCATION "${TAVREN_MINGW_PREFIX}/lib/libzstd.a"
  INTERFACE_INCLUDE_DIRECTORIES "${TAVREN_MINGW_PREFIX}/include")
include(cmake/tavren.cmake)
# No GoogleTest for ARM64, and the emulated Wine runs only ARM64 programs: the unit tests
# stay in the x64 tree. Their targets exist here empty, so the folders' lists need no branch.
function(tavren_win_test name)
  add_custom_target(${name})
endfunction()
function(tavren_win_helper name)
  add_custom_target(${name})
endfunction()
# What libstdc++ would supply to the launcher, which uses only its headers.
add_library(tavren_cxx_support STATIC base/cxx_support.cc)
target_compile_options(tavren_cxx_support PRIVATE ${TAVREN_LAUNCHER_FLAGS})
link_libraries(tavren_cxx_support)
add_subdirectory(base)
add_subdirectory(paths)
add_subdirectory(payload)
add_subdirectory(launcher)
add_subdirectory(tests/arm64)
