# Walls between the program's rooms (the folders of src/). Every source file
# includes by room, "connections/socket_control.h"; a target's include path
# holds only links to the rooms it may use, so that an include across a wall
# fails to build instead of passing unnoticed.

# vz_rooms(<target> <PUBLIC|PRIVATE|INTERFACE> <room>...)
# Lets `target` (and, unless PRIVATE, whatever links it) include from the
# named rooms of src/: each becomes a link in a folder of the target's own in
# the build tree, and that folder goes on the include path.
function(vz_rooms target scope)
  set(folder ${CMAKE_BINARY_DIR}/rooms/${target}_${scope})
  foreach(room ${ARGN})
    if(NOT IS_DIRECTORY ${PROJECT_SOURCE_DIR}/src/${room})
      message(FATAL_ERROR "vz_rooms: no room src/${room}")
    endif()
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${room} ${folder}/${room} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${folder})
endfunction()
