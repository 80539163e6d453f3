# cmake -DBUILD_DIR=... -DPROBES=... -DCHECK=... -P crossings_fail.cmake
# Each crossing of a wall fails, and for the reason the walls give.

# A relative include, refused by the check that every target's build runs.
execute_process(COMMAND ${CMAKE_COMMAND} -DFILES=${PROBES}/socket_reaches_rope_relatively.cpp -P ${CHECK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(result EQUAL 0)
  message(FATAL_ERROR "a relative include across rooms passed the check")
endif()
if(NOT out MATCHES "socket_reaches_rope_relatively.cpp: #include \"../rich_text/rope.h\"")
  message(FATAL_ERROR "the check failed for another reason:\n${out}")
endif()

# An include by room of a room the target does not link does not compile.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target vz_walls_probe_by_room
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(result EQUAL 0)
  message(FATAL_ERROR "the socket layer built with the rope included by room")
endif()
# gcc: "rich_text/rope.h: No such file or directory"; clang: "'rich_text/rope.h' file not found".
if(NOT out MATCHES "rich_text/rope\\.h'?:? (No such file|file not found)")
  message(FATAL_ERROR "the probe failed to build for another reason:\n${out}")
endif()
message(STATUS "both crossings refused")
