# tavren-pack.exe: the same packer for Windows, with the multi-threaded zstd that
# scripts/setup builds beside the launcher's decode-only one, and Debian's CLI11 and stb
# headers (copied apart, so no Linux header reaches the MinGW compiler).
set(host_headers "${CMAKE_BINARY_DIR}/packer-headers")
file(COPY /usr/include/CLI DESTINATION "${host_headers}")
foreach(header stb_image.h stb_image_resize.h stb_image_write.h)
  file(COPY /usr/include/stb/${header} DESTINATION "${host_headers}")
endforeach()

set(stub "${TAVREN_LAUNCHER_LIBDIR}/tavren-launcher.exe")
enable_language(ASM)
set_source_files_properties(embedded_stub.S PROPERTIES OBJECT_DEPENDS "${stub};${TAVREN_LAUNCHER_LIBDIR}/arm64/tavren-launcher.exe"
  COMPILE_OPTIONS "-Wa,-I${TAVREN_LAUNCHER_LIBDIR}")

# `make demo` configures this tree before scripts/setup has built the full zstd (it builds
# only what the demo runs, not this packer): its headers are named on the packer's own target,
# since an imported target's must exist when the tree is configured.
add_library(zstd_full STATIC IMPORTED)
set_target_properties(zstd_full PROPERTIES IMPORTED_LOCATION "${TAVREN_MINGW_PREFIX}/zstd-full/lib/libzstd.a")

add_library(tavren_pack_core_win STATIC host_win.cc update/update_crypto_win.cc stb_parts.c ${pack_sources}
  ${CMAKE_SOURCE_DIR}/formats/launcher_update.cc
  ${CMAKE_SOURCE_DIR}/payload/stream_decoder.cc ${CMAKE_SOURCE_DIR}/base/sha256.cc
  ${CMAKE_SOURCE_DIR}/base/sha256_x86.cc ${CMAKE_SOURCE_DIR}/base/sha256_arm64.cc
  ${CMAKE_SOURCE_DIR}/payload/frame_split.cc ${CMAKE_SOURCE_DIR}/formats/delta.cc)
add_dependencies(tavren_pack_core_win tavren-launcher)
target_include_directories(tavren_pack_core_win PUBLIC ${CMAKE_SOURCE_DIR} "${host_headers}")
target_link_libraries(tavren_pack_core_win PUBLIC zstd_full bcrypt)
target_include_directories(tavren_pack_core_win BEFORE PUBLIC "${TAVREN_MINGW_PREFIX}/zstd-full/include")
target_compile_options(tavren_pack_core_win PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -Wno-restrict>
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)

add_executable(tavren-pack main.cc)
target_link_libraries(tavren-pack PRIVATE tavren_pack_core_win)
target_compile_options(tavren-pack PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(tavren-pack PRIVATE TAVREN_VERSION="${PROJECT_VERSION}")
target_link_options(tavren-pack PRIVATE -municode -static -s -Wl,--no-insert-timestamp)
set_target_properties(tavren-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_SOURCE_DIR}/out/bin")
install(TARGETS tavren-pack RUNTIME DESTINATION bin)

# The test: inputs the Linux packer packs at build time, and that tavren-pack.exe packs again
# under Wine; the two outputs must be the same bytes.
set(pack_test "${CMAKE_BINARY_DIR}/packer-test")
set(names_app "${pack_test}/names_app")
add_custom_command(OUTPUT "${names_app}/main.dll"
  COMMAND ${CMAKE_COMMAND} -DAPP=${names_app} -DMAIN=$<TARGET_FILE:report_app>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/testdata/names_app.cmake
  DEPENDS report_app ${CMAKE_CURRENT_SOURCE_DIR}/testdata/names_app.cmake VERBATIM)
set(hello_app "${pack_test}/hello")
add_custom_command(OUTPUT "${hello_app}/main.dll"
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${hello_app}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/examples/hello/data ${hello_app}/data
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:hello_library> ${hello_app}/main.dll
  DEPENDS hello_library VERBATIM)
set(linux_outputs)
foreach(app hello names_app)
  set(name ${app})
  if(app STREQUAL "names_app")
    set(name names)
  endif()
  add_custom_command(OUTPUT "${pack_test}/linux/${name}.exe"
    COMMAND ${TAVREN_PACK} build ${pack_test}/${app} --main main.dll -o ${pack_test}/linux/${name}.exe -q
    DEPENDS ${TAVREN_PACK} "${pack_test}/${app}/main.dll" VERBATIM)
  list(APPEND linux_outputs "${pack_test}/linux/${name}.exe")
endforeach()
add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/bin/tavren-pack.exe"
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavren-pack> ${CMAKE_BINARY_DIR}/bin/tavren-pack.exe
  DEPENDS tavren-pack VERBATIM)
add_custom_target(pack_win_inputs DEPENDS ${linux_outputs} "${CMAKE_BINARY_DIR}/bin/tavren-pack.exe")

add_executable(fake_signer testdata/fake_signer.cc)
target_link_options(fake_signer PRIVATE -municode -static)
set_target_properties(fake_signer PROPERTIES OUTPUT_NAME osslsigncode
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin/fake-signer")

tavren_win_test(pack_win_test pack_win_test.cc ${CMAKE_SOURCE_DIR}/tests/support/launcher_e2e_support.cc
  LIBS tavren_launcher DEPENDS pack_win_inputs fake_signer report_app update_fixtures)
