# Tests that open sockets run through this launcher, each in a network
# namespace of its own with only its loopback; where none can be made the
# launcher exits 77 and CTest reports the test skipped.
set(VZ_OWN_NETWORK ${PROJECT_SOURCE_DIR}/tests/support/own_network.sh)

# In the sanitizer build every test checks for leaks at its end; what Qt and
# the system libraries leak is suppressed, each entry with its reason.
set(VZ_LSAN_OPTIONS "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp:print_suppressions=0")

# vz_add_network_test(<name> <command> [<argument>...])
# A test that opens sockets, run in a network namespace of its own.
function(vz_add_network_test name)
  add_test(NAME ${name} COMMAND ${VZ_OWN_NETWORK} ${ARGN})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  set_property(TEST ${name} APPEND PROPERTY LABELS network)
endfunction()

# vz_add_qtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>]
#              [LABELS <l...>] [NETWORK])
# One Qt Test executable registered with CTest, run on the offscreen platform
# and bounded in time. NETWORK: the test opens sockets (vz_add_network_test).
function(vz_add_qtest name)
  cmake_parse_arguments(ARG "NETWORK" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(VZ_SANITIZE)
    # Everything runs several times slower under the sanitizers.
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 4")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  if(ARG_NETWORK)
    vz_add_network_test(${name} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_property(TEST ${name} APPEND PROPERTY LABELS ${ARG_LABELS})
  # Qt Test's own watchdog ends a test function after 5 minutes; it gets
  # the test's whole bound instead, which CTest keeps.
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=${ARG_TIMEOUT}000;${VZ_LSAN_OPTIONS}")
endfunction()
