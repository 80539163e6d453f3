# The Windows setup program (tools/windows.sh runs `cpack -G NSIS` in the
# Windows build): CPack's NSIS generator with a template of the project's own
# (cmake/windows/NSIS.template.in, where CPack's options do not reach: the
# firewall rule, the optional desktop shortcut, Spanish, all users, the log),
# over the same files as the program's folder and its zip.
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME varlo-zintabel)
set(CPACK_PACKAGE_VERSION ${VZ_VERSION_TEXT})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VENDOR "Varlo-Zintabel")
set(CPACK_PACKAGE_FILE_NAME "varlo-zintabel-${VZ_VERSION_TEXT}-win64-setup")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Varlo-Zintabel")
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake/windows)
set(CPACK_VZ_ICON ${PROJECT_SOURCE_DIR}/data/varlo-zintabel.ico)
include(CPack)
