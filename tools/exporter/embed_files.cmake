# Writes OUT, a C++ source that defines, for every NAME=FILE pair of FILES, the text of FILE
# as the string NAME: the live page's files, built into the exporter as they are.
set(source "// Made by embed_files.cmake from the files of page/: edit those.\n")
foreach(pair IN LISTS FILES)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${file}" hex HEX)
  # Every byte as \xNN, so no byte can end the string or run into the next escape.
  string(REGEX REPLACE "(..)" "\\\\x\\1" bytes "${hex}")
  string(APPEND source "extern const char ${name}[] = \"${bytes}\";\n")
endforeach()
file(WRITE "${OUT}" "${source}")
