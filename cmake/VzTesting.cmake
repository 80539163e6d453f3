# Tests that open sockets run through this launcher, each in a network
# namespace of its own with only its loopback; where none can be made the
# launcher exits 77 and CTest reports the test skipped.
set(VZ_OWN_NETWORK ${PROJECT_SOURCE_DIR}/tests/support/own_network.sh)

# In the sanitizer build every test checks for leaks at its end; what Qt and
# the system libraries leak is suppressed, each entry with its reason.
set(VZ_LSAN_OPTIONS "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp:print_suppressions=0")
if(VZ_TSAN)
  string(APPEND VZ_LSAN_OPTIONS
         ";TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/tsan.supp:halt_on_error=1:second_deadlock_stack=1")
endif()

# The Windows build's tests run under Wine (tests/support/wine_test.sh), in a
# Wine prefix that the test wine_prefix makes before any of them. Qt finds
# its plugins and Spanish translations through a qt.conf beside each test
# program, and Wine the DLLs in Qt's and MinGW's folders.
if(WIN32)
  set(VZ_WINE_TEST ${PROJECT_SOURCE_DIR}/tests/support/wine_test.sh)
  set(VZ_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VZ_WINE_TEST})
  string(REPLACE ";" ":" dll_dirs "${VZ_WINDOWS_DLL_DIRS}")
  set(VZ_WINE_ENVIRONMENT "VZ_WINE_PREFIX=${VZ_WINE_PREFIX};VZ_WINE_DLL_DIRS=${dll_dirs}")
  add_test(NAME wine_prefix COMMAND ${PROJECT_SOURCE_DIR}/tests/support/wine_prefix.sh ${VZ_WINE_PREFIX})
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 180 LABELS wine)
endif()

# Under Wine: the fixture that makes the prefix, and where Qt and the DLLs are.
function(vz_wine_test name)
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    set_property(TEST ${name} APPEND PROPERTY LABELS wine)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${VZ_WINE_ENVIRONMENT})
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/qt.conf
         "[Paths]\nPrefix = Z:${VZ_QT_PREFIX}\nTranslations = Z:${VZ_QT_TRANSLATIONS_DIR}\n")
  endif()
endfunction()

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
  if(VZ_SANITIZE OR VZ_TSAN)
    # Everything runs several times slower under the sanitizers.
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 4")
  elseif(WIN32)
    # And under Wine, whose every socket goes through its server: a thousand
    # connections take two minutes there instead of a second.
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 2")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  if(ARG_NETWORK)
    # Under Wine the namespace's command is the Wine runner (the emulator
    # goes only before a test's own program).
    vz_add_network_test(${name} ${VZ_WINE_TEST} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_property(TEST ${name} APPEND PROPERTY LABELS ${ARG_LABELS})
  # Qt Test's own limit for one test function (300 s by default) is the
  # test's: on a loaded machine the 100,000-entry case of test_rich_text_box
  # took longer than that under AddressSanitizer.
  math(EXPR function_ms "${ARG_TIMEOUT} * 1000")
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=${function_ms};${VZ_LSAN_OPTIONS}")
  vz_wine_test(${name})
endfunction()
