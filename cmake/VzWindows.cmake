# The Windows program (a MinGW-w64 cross build, tools/windows.sh): what its
# folder holds beside the .exe, so that it runs on a Windows machine that has
# nothing else. `cmake --install` lays the folder out; the zip and the setup
# program are made from it.
#
#   varlo-zintabel.exe, qt.conf
#   Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll, Qt6Network.dll, and MinGW's C++
#     runtime (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll)
#   platforms/qwindows.dll, styles/qwindowsvistastyle.dll
#   translations/qtbase_es.qm: Qt's own texts in Spanish
#   fonts/: DejaVu Sans, the window's font, and FreeSans, whose pictures of
#     control characters stand in for those a peer sends
#   licencias/: the licences of all of the above

enable_language(RC)

# Files of the build machine's Debian packages that the folder carries.
set(VZ_QT_TRANSLATIONS_DIR /usr/share/qt6/translations CACHE PATH
    "Qt's translations (Debian's qt6-translations-l10n; the .qm files are the same on Windows)")
set(VZ_FONTS_DIR /usr/share/fonts/truetype CACHE PATH "DejaVu Sans and FreeFont (fonts-dejavu-core, fonts-freefont-ttf)")
set(VZ_WINDOWS_FILES
    ${VZ_QT_TRANSLATIONS_DIR}/qtbase_es.qm
    ${VZ_FONTS_DIR}/dejavu/DejaVuSans.ttf
    ${VZ_FONTS_DIR}/freefont/FreeSans.ttf)
foreach(file ${VZ_WINDOWS_FILES})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "The Windows program needs ${file} (tools/windows.sh installs the packages).")
  endif()
endforeach()

# MinGW's runtime DLLs, wherever this compiler keeps them.
function(vz_mingw_runtime out)
  set(found)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" ABSOLUTE)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "MinGW's ${dll} was not found beside ${CMAKE_CXX_COMPILER}.")
    endif()
    list(APPEND found ${path})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
vz_mingw_runtime(VZ_MINGW_RUNTIME)

# The folders where a program of the build tree finds its DLLs when it runs
# under Wine before it is installed: Qt's and MinGW's.
get_target_property(VZ_QT_CORE_DLL Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(VZ_QT_BIN_DIR ${VZ_QT_CORE_DLL} DIRECTORY)
get_filename_component(VZ_QT_PREFIX ${VZ_QT_BIN_DIR} DIRECTORY)
set(VZ_WINDOWS_DLL_DIRS ${VZ_QT_BIN_DIR})
foreach(path ${VZ_MINGW_RUNTIME})
  get_filename_component(dir ${path} DIRECTORY)
  list(APPEND VZ_WINDOWS_DLL_DIRS ${dir})
endforeach()
list(REMOVE_DUPLICATES VZ_WINDOWS_DLL_DIRS)

# vz_windows_program(<target>): a GUI program (no console window) with the
# icon, version information and manifest as resources, and its folder.
function(vz_windows_program target)
  set(VZ_DATA ${PROJECT_SOURCE_DIR}/data)
  configure_file(${VZ_DATA}/varlo-zintabel.rc.in ${CMAKE_CURRENT_BINARY_DIR}/varlo-zintabel.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/varlo-zintabel.rc)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)

  install(TARGETS ${target} RUNTIME DESTINATION .)
  install(FILES
          $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> $<TARGET_FILE:Qt6::Network>
          ${VZ_MINGW_RUNTIME}
          DESTINATION .)
  install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
  install(FILES ${VZ_QT_TRANSLATIONS_DIR}/qtbase_es.qm DESTINATION translations)
  install(FILES ${VZ_FONTS_DIR}/dejavu/DejaVuSans.ttf ${VZ_FONTS_DIR}/freefont/FreeSans.ttf DESTINATION fonts)
  # Qt looks for its plugins and translations from this folder, wherever
  # the folder is.
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/qt.conf "[Paths]\nPrefix = .\nPlugins = .\nTranslations = translations\n")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qt.conf DESTINATION .)
  install(FILES ${VZ_DATA}/copyright DESTINATION licencias RENAME varlo-zintabel.txt)
  install(FILES /usr/share/doc/qt6-base-dev/copyright DESTINATION licencias RENAME qt.txt)
  install(FILES /usr/share/common-licenses/LGPL-3 DESTINATION licencias RENAME LGPL-3.txt)
  install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licencias RENAME GPL-3.txt)
  install(FILES /usr/share/doc/fonts-dejavu-core/copyright DESTINATION licencias RENAME dejavu.txt)
  install(FILES /usr/share/doc/fonts-freefont-ttf/copyright DESTINATION licencias RENAME freefont.txt)
  install(FILES /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright DESTINATION licencias
          RENAME gcc-runtime.txt)
  install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright DESTINATION licencias RENAME mingw-w64.txt)
  # Without their debugging sections the DLLs take a third of the room
  # (MinGW's C++ runtime alone shrinks from 23 MB to 2 MB).
  install(CODE "
    file(GLOB_RECURSE binaries \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.exe\")
    foreach(binary \${binaries})
      execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded \${binary} COMMAND_ERROR_IS_FATAL ANY)
    endforeach()")
endfunction()
