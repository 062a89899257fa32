# kv_embed_resources(OUT_CPP FILE...): generates a C++ file holding every FILE as a byte array,
# found at run time by its file name through findResource().
function(kv_embed_resources out_cpp)
  set(files ${ARGN})
  # The list travels through the shell: "|" instead of ";" keeps it one argument.
  string(REPLACE ";" "|" files_arg "${files}")
  add_custom_command(
    OUTPUT ${out_cpp}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out_cpp} "-DFILES=${files_arg}" -P ${CMAKE_SOURCE_DIR}/cmake/EmbedScript.cmake
    DEPENDS ${files} ${CMAKE_SOURCE_DIR}/cmake/EmbedScript.cmake
    COMMENT "Embedding resources"
    VERBATIM)
endfunction()
