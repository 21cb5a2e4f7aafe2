# Installation and packages: every install rule of the project is here.
#   Linux:   cmake --install build/native --prefix PREFIX  (k4471-cli, k4471-sim,
#            the man page, the manual in share/doc/k4471)
#   Windows: cpack in build/windows makes a zip and an installer with
#            Start-menu entries for the desktop tool and the manual, which
#            lies beside k4471.exe.
# docs/ names what it builds: K4471_MANUAL_FILES (the HTML manual and its
# pictures) and, on Linux, K4471_MAN_PAGE.
set(CPACK_PACKAGE_NAME "k4471")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "K4471 flash programmer")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")

if(WIN32)
  # Everything at the top of the installation, not in a bin folder: the
  # programs, the manual beside k4471.exe (where Help looks for it).
  install(TARGETS k4471 k4471-cli RUNTIME DESTINATION .)
  install(FILES ${K4471_MANUAL_FILES} DESTINATION .)
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION .)
  install(FILES "${PROJECT_SOURCE_DIR}/examples/blink.hex" DESTINATION examples)
  set(CPACK_GENERATOR "ZIP;NSIS")
  set(CPACK_SYSTEM_NAME "win32")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "K4471")
  set(CPACK_NSIS_PACKAGE_NAME "K4471 Flash Programmer")
  set(CPACK_NSIS_DISPLAY_NAME "K4471 Flash Programmer")
  # Start-menu entries for the desktop tool and the manual.
  set(CPACK_PACKAGE_EXECUTABLES "k4471" "K4471 Flash Programmer")
  set(CPACK_NSIS_INSTALLED_ICON_NAME "k4471.exe")
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
  set(CPACK_NSIS_MENU_LINKS "manual.html" "K4471 Flash Programmer Manual")
else()
  include(GNUInstallDirs)
  install(TARGETS k4471-cli k4471-sim)
  install(FILES ${K4471_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${K4471_MANUAL_FILES} "${PROJECT_SOURCE_DIR}/README.md"
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES "${PROJECT_SOURCE_DIR}/examples/blink.hex"
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  set(CPACK_GENERATOR "TGZ")
endif()
include(CPack)
