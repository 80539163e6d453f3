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

# vz_check_includes_everywhere()
# A relative include ("../rich_text/rope.h") would walk past the include path
# from the file's own folder, so every C++ file of src/, tests/ and bench/ is
# checked for one (VzIncludeCheck.cmake) before any target of the build is
# built: the check is a dependency of every target, run again whenever a file
# changes. tests/walls/ holds the probes that show a crossing failing, and
# is left out.
function(vz_check_includes_everywhere)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/src/*.cpp
       ${PROJECT_SOURCE_DIR}/tests/*.h ${PROJECT_SOURCE_DIR}/tests/*.cpp
       ${PROJECT_SOURCE_DIR}/bench/*.h ${PROJECT_SOURCE_DIR}/bench/*.cpp)
  list(FILTER files EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/tests/walls/")
  set(stamp ${CMAKE_BINARY_DIR}/walls/includes.checked)
  set(list ${CMAKE_BINARY_DIR}/walls/files.txt)
  list(JOIN files "\n" lines)
  file(CONFIGURE OUTPUT ${list} CONTENT "${lines}\n")
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DFILE_LIST=${list} -DSTAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/VzIncludeCheck.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/VzIncludeCheck.cmake
    COMMENT "Checking that no include climbs over a wall"
    VERBATIM)
  add_custom_target(vz_include_walls DEPENDS ${stamp})
  vz_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
      add_dependencies(${target} vz_include_walls)
    endif()
  endforeach()
endfunction()

# Every target defined in `dir` and the folders added below it.
function(vz_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    vz_targets_below(${sub} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()
