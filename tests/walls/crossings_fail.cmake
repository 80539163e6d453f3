# cmake -DBUILD_DIR=... -DPROBES=... -DCHECK=... -P crossings_fail.cmake
# Each crossing of a wall fails, and for the reason the walls give.

# refused(<what> <reason regex> <command>...): the command must fail, saying why.
function(refused what reason)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0)
    message(FATAL_ERROR "${what} went through")
  endif()
  if(NOT out MATCHES "${reason}")
    message(FATAL_ERROR "${what} failed for another reason:\n${out}")
  endif()
endfunction()

# A relative include, refused by the check that every target's build runs.
refused("a relative include across rooms"
        "socket_reaches_rope_relatively.cpp: #include \"../rich_text/rope.h\""
        ${CMAKE_COMMAND} -DFILES=${PROBES}/socket_reaches_rope_relatively.cpp -P ${CHECK})

# An include by room of a room the target does not link does not compile
# (gcc: "rich_text/rope.h: No such file or directory"; clang:
# "'rich_text/rope.h' file not found").
refused("the socket layer including the rope by room"
        "rich_text/rope\\.h'?:? (No such file|file not found)"
        ${CMAKE_COMMAND} --build ${BUILD_DIR} --target vz_walls_probe_by_room)
message(STATUS "both crossings refused")
