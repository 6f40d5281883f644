# Writes the assembler file that puts a blob into a launcher's read-only data.
file(SIZE "${BLOB}" BLOB_SIZE)
get_filename_component(BLOB_FILE "${BLOB}" NAME)
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
