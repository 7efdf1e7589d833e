# Writes the C source of one link stub: every name that the allow-list gives
# for one library, as an empty function. Compiled into a shared object under
# the library's soname, without symbol versions, it is all the plug-in file is
# linked against on the receiver build: the file then names exactly what the
# list allows, by the library it comes from, and nothing of the build machine.
#
# cmake -DLIST=platform/receiver-abi.txt -DLIBRARY=libc.so.6 -DOUTPUT=stub.c -P receiver-stubs.cmake
file(STRINGS ${LIST} lines)
set(current "")
set(names "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  elseif(line MATCHES "^\\[(.+)\\]$")
    set(current "${CMAKE_MATCH_1}")
  elseif(current STREQUAL LIBRARY)
    string(REGEX REPLACE "[ \t]+" ";" words "${line}")
    list(APPEND names ${words})
  endif()
endforeach()
if(names STREQUAL "")
  message(FATAL_ERROR "${LIST} names nothing for ${LIBRARY}")
endif()

set(text "/* Link stub of ${LIBRARY}, written from ${LIST}. */\n")
foreach(name IN LISTS names)
  string(APPEND text "void ${name}(void) {}\n")
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
