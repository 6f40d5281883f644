# Writes the assembler file that puts a blob into a launcher's read-only data. The marker
# comes from the format header, so test launchers are laid out exactly as the packer's.
file(SIZE "${BLOB}" BLOB_SIZE)
get_filename_component(BLOB_FILE "${BLOB}" NAME)
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../../payload/format.h" marker_line
     REGEX "^constexpr char launcher_payload_marker\\[\\] = \"[^\"]+\"")
if(NOT marker_line MATCHES "\"([^\"]+)\"")
  message(FATAL_ERROR "no launcher_payload_marker line in payload/format.h")
endif()
set(PAYLOAD_MARKER "${CMAKE_MATCH_1}")
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
