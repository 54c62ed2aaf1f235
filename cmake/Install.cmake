# cmake --install: the program in bin; on Linux and other freedesktop systems also the launcher
# (the desktop entry) and its icons in the hicolor theme, where menus and file managers look.
include(GNUInstallDirs)

install(TARGETS zem-builder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32 AND NOT APPLE)
  install(FILES ${PROJECT_SOURCE_DIR}/res/zem-builder.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 32 48 256)
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/zem-builder-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME zem-builder.png)
  endforeach()
endif()
