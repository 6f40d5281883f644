# The build's own helpers, for the Windows tree (the launcher and its tests, run under Wine)
# and the native tree (the packer, the portable payload code, their tests and the fuzzers).
# Each source folder's CMakeLists.txt lists its own files through these.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TAVREN_MAKE_BLOB ${CMAKE_SOURCE_DIR}/tests/support/make_blob.py)

# tavren_test_blob(<name> <make_blob arguments...> [DEPENDS <targets or files>...]):
# <build>/blobs/<name>.bin, made at build time by the test payload maker and made again when the
# maker, the format or a listed dependency (a packed main library, say) changes. The target
# blob_<name> stands for it.
function(tavren_test_blob name)
  cmake_parse_arguments(PARSE_ARGV 1 blob "" "" "DEPENDS")
  set(out ${CMAKE_BINARY_DIR}/blobs/${name}.bin)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/blobs
    COMMAND ${Python3_EXECUTABLE} ${TAVREN_MAKE_BLOB} -o ${out} ${blob_UNPARSED_ARGUMENTS}
    DEPENDS ${TAVREN_MAKE_BLOB} ${CMAKE_SOURCE_DIR}/formats/payload.h ${blob_DEPENDS}
    VERBATIM)
  add_custom_target(blob_${name} DEPENDS ${out})
endfunction()

if(WIN32)
  # Built for size: no loop of the launcher's own is where its time goes (decoding is zstd's,
  # writing the system's), and -Os took 12 KB off the stub. The C runtime's own printf
  # (msvcrt), not MinGW's, which brings its formatting and floating-point conversion (about
  # 20 KB) into the stub for a few integers and strings. Each function in its own section, so
  # the stub's link drops what it never calls (not each datum: MinGW's link script would put
  # zero-filled arrays into the file).
  set(TAVREN_LAUNCHER_FLAGS -fno-exceptions -fno-rtti -Wall -Wextra -Werror -Os
      -D__USE_MINGW_ANSI_STDIO=0 -ffunction-sections -fno-ident
      -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)

  # tavren_launcher_library(<name> <sources...>): a static library of launcher code, built with
  # the launcher's flags and kept in out/lib/tavren beside the stub.
  function(tavren_launcher_library name)
    add_library(${name} STATIC ${ARGN})
    target_compile_options(${name} PRIVATE ${TAVREN_LAUNCHER_FLAGS})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_definitions(${name} PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
    set_target_properties(${name} PROPERTIES ARCHIVE_OUTPUT_DIRECTORY "${TAVREN_LAUNCHER_LIBDIR}")
  endfunction()

  # tavren_win_test(<name> <sources...> [LIBS <libraries>...] [DEPENDS <targets>...]
  #                 [DEFINES <definitions>...] [PROPERTIES <test properties>...]):
  # a GoogleTest executable (console subsystem, so its output reaches CTest) run under Wine.
  # Its tests are listed from the sources, not by running the executable under Wine when CTest
  # starts: one Wine hiccup while listing would abort the whole run. DEPENDS names the
  # programs and blobs the tests start or read; PROPERTIES apply to every test of it. The test
  # names are left in <name>_TESTS.
  function(tavren_win_test name)
    cmake_parse_arguments(PARSE_ARGV 1 test "" "" "LIBS;DEPENDS;DEFINES;PROPERTIES")
    add_executable(${name} ${test_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${test_LIBS} GTest::gtest_main GTest::gtest tavren_test_support
                          tavren_test_texts -static)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(${name} PRIVATE UNICODE _UNICODE ${test_DEFINES})
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    if(test_DEPENDS)
      add_dependencies(${name} ${test_DEPENDS})
    endif()
    gtest_add_tests(TARGET ${name} TEST_LIST tests)
    set_tests_properties(${tests} PROPERTIES TIMEOUT 300 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                         ${test_PROPERTIES})
    set(${name}_TESTS ${tests} PARENT_SCOPE)
  endfunction()

  # tavren_win_helper(<name> <sources...>): a program the tests start as a separate process,
  # windowed like the launcher. Tests find it beside themselves, in <build>/bin.
  function(tavren_win_helper name)
    add_executable(${name} ${ARGN})
    target_link_options(${name} PRIVATE -municode -mwindows -static)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
  endfunction()
else()
  # The launcher stub from the Windows tree, which the packer carries inside it.
  set(TAVREN_STUB "${CMAKE_SOURCE_DIR}/out/lib/tavren/tavren-launcher.exe" CACHE FILEPATH "the launcher stub to embed")
  # Main libraries with and without run_code for the packer's tests, made by the MinGW driver.
  set(TAVREN_FIXTURES "${CMAKE_BINARY_DIR}/packer/fixtures")
  find_program(TAVREN_MINGW_GCC x86_64-w64-mingw32-gcc-posix)

  # tavren_native_test(<name> <sources...>): a native GoogleTest executable with the packer's
  # code and the native test support, its tests found by running it.
  function(tavren_native_test name)
    add_executable(${name} ${ARGN} ${CMAKE_SOURCE_DIR}/tests/support/native_test_support.cc)
    target_link_libraries(${name} PRIVATE tavren_pack_core GTest::gtest_main util)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    if(TAVREN_MINGW_GCC)
      set(have_fixtures 1)
    else()
      set(have_fixtures 0)
    endif()
    target_compile_definitions(${name} PRIVATE
      TAVREN_PACK_EXE="$<TARGET_FILE:tavren-pack>"
      TAVREN_FIXTURES="${TAVREN_FIXTURES}"
      TAVREN_HAVE_FIXTURES=${have_fixtures}
      TAVREN_STUB_FILE="${TAVREN_STUB}"
      TAVREN_VERSION="${PROJECT_VERSION}")
    add_dependencies(${name} tavren-pack tavren_pack_fixtures)
    gtest_discover_tests(${name} PROPERTIES TIMEOUT 300)
  endfunction()
endif()
