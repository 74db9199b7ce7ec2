# Writes OUTPUT, a C++ source that defines `tw::tools::NAME` as the text of
# INPUT: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed_text.cmake
file(READ "${INPUT}" text)
string(FIND "${text}" ")EMBEDDED\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's end: )EMBEDDED\"")
endif()
file(WRITE "${OUTPUT}.new" "namespace tw::tools {\nextern const char ${NAME}[];\nconst char ${NAME}[] = R\"EMBEDDED(${text})EMBEDDED\";\n}\n")
# Rewritten only when it changed, so that nothing rebuilds for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
