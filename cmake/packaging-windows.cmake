# The Windows installer (CPack's NSIS generator, makensis): the programs, the
# Qt and mingw run-time DLLs and the Qt plugins they load, the graticules, a
# Start-menu shortcut that starts the program in the graticule folder, one that
# serves the instrument to the browser (corvactl serve --open), and an
# uninstaller. FTDI's FTD2XX.DLL is not ours to ship: their driver installer
# puts it in the system folder.
#   cmake --build build-win --target package  ->  corvameter-remote-<version>-win64.exe

# Qt's windeployqt does not run in a cross build: copy what the programs load.
set(corva_qt_bin ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
set(corva_qt_plugins ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS})
set(corva_runtime_dlls Qt6Core Qt6Gui Qt6Widgets Qt6PrintSupport)
if(CORVA_HAVE_SERVE)   # corvactl serve
  list(APPEND corva_runtime_dlls Qt6Network Qt6HttpServer Qt6WebSockets)
endif()
if(MINGW)
  # Qt's mingw kits carry the compiler's run-time DLLs in their bin folder.
  list(APPEND corva_runtime_dlls libstdc++-6 libgcc_s_seh-1 libwinpthread-1)
else()
  include(InstallRequiredSystemLibraries)   # the Visual C++ run-time
endif()
# Stripped copies where a strip tool is at hand: the mingw runtime comes with
# its debug information (libstdc++ alone is 23 MB of it).
set(corva_runtime_dir ${CMAKE_BINARY_DIR}/runtime-dlls)
set(corva_runtime_out "")
foreach(dll ${corva_runtime_dlls})
  set(from ${corva_qt_bin}/${dll}.dll)
  set(to ${corva_runtime_dir}/${dll}.dll)
  if(CMAKE_STRIP)
    set(copy ${CMAKE_STRIP} --strip-unneeded -o ${to} ${from})
  else()
    set(copy ${CMAKE_COMMAND} -E copy ${from} ${to})
  endif()
  add_custom_command(OUTPUT ${to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${corva_runtime_dir}
    COMMAND ${copy}
    DEPENDS ${from} VERBATIM)
  list(APPEND corva_runtime_out ${to})
endforeach()
add_custom_target(corva_runtime_dlls ALL DEPENDS ${corva_runtime_out})
install(FILES ${corva_runtime_out} DESTINATION ${CMAKE_INSTALL_BINDIR})
# Qt looks for its plugins in folders beside the program. Printing on Windows
# needs no plugin of its own; the image formats are for "Display" (PNG and BMP
# are built in).
install(FILES ${corva_qt_plugins}/platforms/qwindows.dll DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms)
install(FILES ${corva_qt_plugins}/styles/qwindowsvistastyle.dll DESTINATION ${CMAKE_INSTALL_BINDIR}/styles)
install(FILES ${corva_qt_plugins}/imageformats/qjpeg.dll ${corva_qt_plugins}/imageformats/qgif.dll
              ${corva_qt_plugins}/imageformats/qico.dll
        DESTINATION ${CMAKE_INSTALL_BINDIR}/imageformats)
# serve's --tls-cert: Qt's TLS is a plugin, here the system's own Schannel.
if(CORVA_HAVE_SERVE AND EXISTS ${corva_qt_plugins}/tls/qschannelbackend.dll)
  install(FILES ${corva_qt_plugins}/tls/qschannelbackend.dll DESTINATION ${CMAKE_INSTALL_BINDIR}/tls)
endif()

set(CPACK_GENERATOR NSIS)
set(CPACK_STRIP_FILES ON)   # no debug information in what users get
set(CPACK_PACKAGE_NAME corvameter-remote)
set(CPACK_PACKAGE_VENDOR "Brisko")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote control for the Brisko Corvameter")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME corvameter-remote-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Corvameter)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Corvameter)
# A 64-bit installer for 64-bit programs: Program Files and the registry
# without the 32-bit redirection.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "Corvameter Remote Control")
# The program's own icon on the installer and the uninstaller.
set(CPACK_NSIS_MUI_ICON ${CORVA_ICON_ICO})
set(CPACK_NSIS_MUI_UNIICON ${CORVA_ICON_ICO})
set(CPACK_NSIS_PACKAGE_NAME "Corvameter Remote Control ${PROJECT_VERSION}")
# CPack writes these into a CMake file of its own and reads them back: hence
# four backslashes for one, and single quotes for NSIS.
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\corvameter-remote.exe")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The program reads the graticules from the folder it starts in: a shortcut's
# working folder is the output folder (SetOutPath) current when it is made.
# corvactl is a console program: its entry opens a console window, where it
# serves until that window is closed or Ctrl-C.
set(corva_lnk "$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Corvameter Remote Control.lnk")
set(corva_serve_lnk "$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Corvameter Remote in the Browser.lnk")
set(corva_icons "
  SetOutPath '$INSTDIR\\\\share\\\\corvameter-remote\\\\graticules'
  CreateShortCut '${corva_lnk}' '$INSTDIR\\\\bin\\\\corvameter-remote.exe'")
set(corva_delete_icons "
  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\Corvameter Remote Control.lnk'")
if(CORVA_HAVE_SERVE)
  string(APPEND corva_icons "
  CreateShortCut '${corva_serve_lnk}' '$INSTDIR\\\\bin\\\\corvactl.exe' 'serve --open'")
  string(APPEND corva_delete_icons "
  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\Corvameter Remote in the Browser.lnk'")
endif()
set(CPACK_NSIS_CREATE_ICONS_EXTRA "${corva_icons}
  SetOutPath '$INSTDIR'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "${corva_delete_icons}")
include(CPack)
