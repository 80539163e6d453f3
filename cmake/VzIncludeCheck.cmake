# cmake -DFILES=<file;...> | -DFILE_LIST=<file of names, one a line>
#       [-DSTAMP=<file>] -P VzIncludeCheck.cmake
# Fails when a file includes by a path that climbs out of its folder
# ("../rich_text/rope.h"): such a path reaches another room from the file's
# own place, past the include path that holds the walls (VzWalls.cmake).
# Code includes by room ("rich_text/rope.h") or from its own folder.
if(FILE_LIST)
  file(STRINGS "${FILE_LIST}" FILES)
endif()
set(crossings "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\.[/\\\\]")
  foreach(line IN LISTS includes)
    string(STRIP "${line}" line)
    string(APPEND crossings "\n  ${file}: ${line}")
  endforeach()
endforeach()
if(crossings)
  message(FATAL_ERROR "Includes through a relative path, past the walls between rooms "
                      "(include by room, \"rich_text/rope.h\", from a target that links that room):${crossings}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
