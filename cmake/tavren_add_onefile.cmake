# tavren_add_onefile(): one line from a CMake-built Windows application to its single-file
# release. Included by the installed TavrenConfig.cmake (find_package(Tavren)) and by this
# project's own examples; the caller sets TAVREN_PACK_EXECUTABLE to the packer first.
include_guard(GLOBAL)

# tavren_add_onefile(<name> MAIN_TARGET <dll or executable target> [APP_DIR <dir>]
#                    [FILES <file or dir>...] [PRODUCT <text>] [COMPANY <text>] [VERSION <a.b.c.d>]
#                    [ICON <png or ico>] [CONSOLE | WINDOWED] [CACHED] [CACHED_VERIFY] [UAC_ADMIN]
#                    [DPI_AWARE <system|per-monitor-v2>] [UTF8] [MANIFEST <file>] [UNPACK_DIR <template>]
#                    [SPLASH <png or bmp>] [SPLASH_TIMEOUT <seconds>]
#                    [SIGN <pkcs12> [SIGN_PASSWORD_FILE <file>] [TIMESTAMP_URL <url>] [SIGN_PAYLOAD]]
#                    [UPDATE_KEY <key file> | UPDATES_UNSIGNED]
#                    [FRAME_CUT <size|content>] [FRAME_SIZE <size>] [RSYNCABLE]):
# a target <name> that packs the built main file and its files into <name>.exe (in
# CMAKE_RUNTIME_OUTPUT_DIRECTORY, else the current binary folder), made again whenever the
# library, a file below APP_DIR, a listed file, the icon or the packer changes.
# The application folder is APP_DIR's contents, each FILES entry by its own name (a folder with
# everything below it) and the main library, all at its top. VERSION (default: the project's)
# may have one to four parts; missing parts are 0. The target's TAVREN_ONEFILE_EXE property
# holds the executable's path. CONSOLE makes a console launcher, for command-line tools, and
# WINDOWED a windowed one; without either a launcher of an executable takes its subsystem and
# one of a library is windowed. A launcher of an executable takes the executable's icon and
# texts where ICON, PRODUCT and COMPANY are not given (VERSION always passes the version on).
# CACHED makes a launcher that unpacks once into the user's cache and starts from there;
# CACHED_VERIFY also compares every file's digest on each start. UAC_ADMIN, DPI_AWARE and UTF8
# give the packer --uac-admin, --dpi-aware and --utf8; MANIFEST a whole manifest of your own
# (--manifest), which the executable is made again after when it changes. UNPACK_DIR gives
# --unpack-dir (such as "{PROGRAM_DIR}\\.app-files"). SIGN signs the launcher with that
# certificate (--sign, with SIGN_PASSWORD_FILE and TIMESTAMP_URL); SIGN_PAYLOAD also signs
# every binary of the application with it (--sign-payload). SPLASH shows that image while the
# launcher unpacks (--splash), for at most SPLASH_TIMEOUT seconds. UPDATE_KEY makes a launcher
# that takes updates signed with that key (--update-key: a public key, or the private one, which
# also signs this release); UPDATES_UNSIGNED one that takes them unsigned (--updates-unsigned).
# FRAME_CUT, FRAME_SIZE and RSYNCABLE give --frame-cut, --frame-size (such as 2M) and
# --rsyncable: how the payload is cut into frames, which decides how small the deltas between
# releases can be.
function(tavren_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg
    "CONSOLE;WINDOWED;CACHED;CACHED_VERIFY;UAC_ADMIN;UTF8;SIGN_PAYLOAD;UPDATES_UNSIGNED;RSYNCABLE"
    "MAIN_TARGET;APP_DIR;PRODUCT;COMPANY;VERSION;ICON;DPI_AWARE;MANIFEST;UNPACK_DIR;SIGN;SIGN_PASSWORD_FILE;TIMESTAMP_URL;SPLASH;SPLASH_TIMEOUT;UPDATE_KEY;FRAME_CUT;FRAME_SIZE"
    "FILES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tavren_add_onefile(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN_TARGET OR NOT TARGET "${arg_MAIN_TARGET}")
    message(FATAL_ERROR "tavren_add_onefile(${name}): MAIN_TARGET must name the application's DLL or executable target")
  endif()
  get_target_property(main_type "${arg_MAIN_TARGET}" TYPE)
  if(NOT main_type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
    message(FATAL_ERROR "tavren_add_onefile(${name}): MAIN_TARGET ${arg_MAIN_TARGET} is a ${main_type}, "
                        "not a DLL or an executable")
  endif()
  if(arg_CONSOLE AND arg_WINDOWED)
    message(FATAL_ERROR "tavren_add_onefile(${name}): CONSOLE and WINDOWED exclude each other")
  endif()
  # A tree that builds the packer itself (this project's own) names it before it exists.
  if(NOT TAVREN_PACK_EXECUTABLE OR (NOT EXISTS "${TAVREN_PACK_EXECUTABLE}" AND NOT TAVREN_PACK_BUILT_LATER))
    message(FATAL_ERROR "tavren_add_onefile(${name}): no tavren-pack at '${TAVREN_PACK_EXECUTABLE}'")
  endif()

  # Inputs given relative to the calling folder's sources, as add_executable takes them.
  set(inputs)
  set(copies)
  if(arg_APP_DIR)
    get_filename_component(app_dir "${arg_APP_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${app_dir}")
      message(FATAL_ERROR "tavren_add_onefile(${name}): APP_DIR ${app_dir} is not a folder")
    endif()
    # CONFIGURE_DEPENDS: a file added to the folder later is packed without a manual re-run.
    file(GLOB_RECURSE found LIST_DIRECTORIES false CONFIGURE_DEPENDS "${app_dir}/*")
    list(APPEND inputs ${found})
  endif()
  set(stage "${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile")
  foreach(entry IN LISTS arg_FILES)
    get_filename_component(path "${entry}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(entry_name "${path}" NAME)
    if(IS_DIRECTORY "${path}")
      file(GLOB_RECURSE found LIST_DIRECTORIES false CONFIGURE_DEPENDS "${path}/*")
      list(APPEND inputs ${found})
      list(APPEND copies COMMAND "${CMAKE_COMMAND}" -E copy_directory "${path}" "${stage}/${entry_name}")
    elseif(EXISTS "${path}")
      list(APPEND inputs "${path}")
      list(APPEND copies COMMAND "${CMAKE_COMMAND}" -E copy "${path}" "${stage}/${entry_name}")
    else()
      message(FATAL_ERROR "tavren_add_onefile(${name}): no file or folder ${path}")
    endif()
  endforeach()

  set(options)
  if(DEFINED arg_PRODUCT)
    list(APPEND options --product "${arg_PRODUCT}")
  endif()
  if(DEFINED arg_COMPANY)
    list(APPEND options --company "${arg_COMPANY}")
  endif()
  set(version "${arg_VERSION}")
  if(NOT version)
    set(version "${PROJECT_VERSION}")
  endif()
  if(version)
    if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
      message(FATAL_ERROR "tavren_add_onefile(${name}): VERSION '${version}' is not one to four numbers")
    endif()
    # The version resource holds four numbers; CMake versions usually have three.
    string(REPLACE "." ";" parts "${version}")
    list(LENGTH parts count)
    while(count LESS 4)
      string(APPEND version ".0")
      math(EXPR count "${count} + 1")
    endwhile()
    list(APPEND options --file-version ${version} --product-version ${version})
  endif()
  if(arg_CONSOLE)
    list(APPEND options --console)
  elseif(arg_WINDOWED)
    list(APPEND options --windowed)
  endif()
  if(arg_CACHED_VERIFY)
    list(APPEND options --cached-verify)
  elseif(arg_CACHED)
    list(APPEND options --cached)
  endif()
  if(arg_UAC_ADMIN)
    list(APPEND options --uac-admin)
  endif()
  if(arg_DPI_AWARE)
    list(APPEND options --dpi-aware "${arg_DPI_AWARE}")
  endif()
  if(arg_UTF8)
    list(APPEND options --utf8)
  endif()
  if(arg_MANIFEST)
    get_filename_component(manifest "${arg_MANIFEST}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND inputs "${manifest}")
    list(APPEND options --manifest "${manifest}")
  endif()
  if(DEFINED arg_UNPACK_DIR)
    list(APPEND options --unpack-dir "${arg_UNPACK_DIR}")
  endif()
  if(arg_SIGN_PAYLOAD AND NOT arg_SIGN)
    message(FATAL_ERROR "tavren_add_onefile(${name}): SIGN_PAYLOAD needs SIGN <pkcs12>")
  endif()
  if(arg_SIGN)
    get_filename_component(pkcs12 "${arg_SIGN}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND inputs "${pkcs12}")
    list(APPEND options --sign "${pkcs12}")
    if(arg_SIGN_PASSWORD_FILE)
      get_filename_component(password "${arg_SIGN_PASSWORD_FILE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND options --sign-password-file "${password}")
    endif()
    if(arg_TIMESTAMP_URL)
      list(APPEND options --timestamp-url "${arg_TIMESTAMP_URL}")
    endif()
    if(arg_SIGN_PAYLOAD)
      list(APPEND options --sign-payload)
    endif()
  endif()
  if(arg_UPDATE_KEY AND arg_UPDATES_UNSIGNED)
    message(FATAL_ERROR "tavren_add_onefile(${name}): UPDATE_KEY and UPDATES_UNSIGNED exclude each other")
  endif()
  if(arg_UPDATE_KEY)
    get_filename_component(update_key "${arg_UPDATE_KEY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND inputs "${update_key}")
    list(APPEND options --update-key "${update_key}")
  elseif(arg_UPDATES_UNSIGNED)
    list(APPEND options --updates-unsigned)
  endif()
  if(DEFINED arg_FRAME_CUT)
    # Checked here too, so a misspelling fails when the project is configured, not at its build.
    if(NOT arg_FRAME_CUT MATCHES "^(size|content)$")
      message(FATAL_ERROR "tavren_add_onefile(${name}): FRAME_CUT '${arg_FRAME_CUT}' is neither size nor content")
    endif()
    list(APPEND options --frame-cut "${arg_FRAME_CUT}")
  endif()
  if(DEFINED arg_FRAME_SIZE)
    list(APPEND options --frame-size "${arg_FRAME_SIZE}")
  endif()
  if(arg_RSYNCABLE)
    list(APPEND options --rsyncable)
  endif()
  if(arg_SPLASH)
    get_filename_component(splash "${arg_SPLASH}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND inputs "${splash}")
    list(APPEND options --splash "${splash}")
  endif()
  if(arg_SPLASH_TIMEOUT)
    list(APPEND options --splash-timeout "${arg_SPLASH_TIMEOUT}")
  endif()
  if(arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND inputs "${icon}")
    list(APPEND options --icon "${icon}")
  endif()

  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(exe "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe")
  else()
    set(exe "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  endif()
  set(app_copy)
  if(arg_APP_DIR)
    set(app_copy COMMAND "${CMAKE_COMMAND}" -E copy_directory "${app_dir}" "${stage}")
  endif()
  # The folder is laid anew each time, so a file removed from the inputs leaves the payload too.
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${stage}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${stage}"
    ${app_copy}
    ${copies}
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:${arg_MAIN_TARGET}>" "${stage}"
    COMMAND "${TAVREN_PACK_EXECUTABLE}" build "${stage}" --main "$<TARGET_FILE_NAME:${arg_MAIN_TARGET}>"
            -o "${exe}" -q ${options}
    DEPENDS "${arg_MAIN_TARGET}" "$<TARGET_FILE:${arg_MAIN_TARGET}>" ${inputs} "${TAVREN_PACK_EXECUTABLE}"
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${exe}")
  set_target_properties(${name} PROPERTIES TAVREN_ONEFILE_EXE "${exe}")
endfunction()
