# The Windows program's folder (tools/windows.sh lays it out here) beside the
# program of the Linux build in VZ_LINUX_BUILD_DIR, each in a network
# namespace of its own, driven through their windows under Xvfb; the Windows
# copy runs under Wine, in a copy of the tests' Wine prefix.
set(VZ_LINUX_BUILD_DIR ${PROJECT_SOURCE_DIR}/build CACHE PATH
    "The Linux build whose program and layout tool the Windows end-to-end script uses")
vz_add_network_test(e2e_windows
  bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_copy.sh ${CMAKE_BINARY_DIR}/varlo-zintabel
       ${VZ_LINUX_BUILD_DIR}/varlo-zintabel ${VZ_LINUX_BUILD_DIR}/tests/e2e/window_layout)
set_property(TEST e2e_windows APPEND PROPERTY LABELS e2e)
vz_wine_test(e2e_windows)
set_tests_properties(e2e_windows PROPERTIES TIMEOUT 480 PROCESSORS 2)

# The setup program (tools/windows.sh makes it here): a silent install into a
# fresh Wine prefix, the installed program started, a second install over
# it, and a silent uninstall that leaves nothing.
vz_add_network_test(e2e_windows_setup
  bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_setup.sh ${CMAKE_BINARY_DIR}/varlo-zintabel-${VZ_VERSION_TEXT}-win64-setup.exe)
set_property(TEST e2e_windows_setup APPEND PROPERTY LABELS e2e)
vz_wine_test(e2e_windows_setup)
set_tests_properties(e2e_windows_setup PROPERTIES TIMEOUT 300)
