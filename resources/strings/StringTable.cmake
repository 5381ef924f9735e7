# tonvara_string_table(<target> <text file> <symbol>)
#   Compiles a text file into <target> as the byte array
#   `extern const unsigned char <symbol>[]` (NUL-terminated) with its length in
#   `extern const std::size_t <symbol>Size`, regenerated whenever the file
#   changes. The string table of resources/strings/ reaches the program this way,
#   without resource files to ship or initialise.
function(tonvara_string_table target file symbol)
  get_filename_component(name "${file}" NAME_WE)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}_table.cpp")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -DINPUT=${file} -DOUTPUT=${output} -DSYMBOL=${symbol}
            -P "${PROJECT_SOURCE_DIR}/resources/strings/EmbedText.cmake"
    DEPENDS "${file}" "${PROJECT_SOURCE_DIR}/resources/strings/EmbedText.cmake"
    COMMENT "Embedding ${name}"
    VERBATIM)
  target_sources(${target} PRIVATE "${output}")
endfunction()
