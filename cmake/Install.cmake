# cmake --install on Linux and other POSIX systems: zem-builder, the zem tool and the script that
# opens an archive as a folder in bin; on
# freedesktop systems also the launcher (the desktop entry) and its icons in the hicolor theme,
# where menus and file managers look, and the .zem file type with its icon, so that a file manager
# opens an archive with the launcher. (The Windows build has its own layout, PackageWindows.)
if(WIN32)
  return()
endif()
include(GNUInstallDirs)
# What follows is the programs' part (the Debian package zem-builder, cmake/PackageLinux.cmake);
# the library's parts name theirs (cmake/Library.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME programs)

install(TARGETS zem-builder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET zem)
  install(TARGETS zem RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # "Open as folder": zem mount under $XDG_RUNTIME_DIR, then the file manager. Beside zem, on
  # PATH, where the file managers' actions find it by name; with the version put in.
  configure_file(${PROJECT_SOURCE_DIR}/res/zem-open-folder ${PROJECT_BINARY_DIR}/zem-open-folder
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/zem-open-folder DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The manual pages, compressed as Debian and most distributions keep them (gzip -n: the same bytes
# from every build), and zem's bash completion where bash-completion loads it on first use.
find_program(ZEM_GZIP gzip)
set(zem_pages zem.1 zem-builder.1)
if(TARGET zem)
  list(APPEND zem_pages zem-open-folder.1)
endif()
# The library's page goes with its development files (cmake/Library.cmake).
if(TARGET zem-shared)
  list(APPEND zem_pages zem.3)
endif()
foreach(page ${zem_pages})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  if(ZEM_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                       COMMAND ${ZEM_GZIP} -9 -n -c ${source} > ${PROJECT_BINARY_DIR}/man/${page}.gz
                       DEPENDS ${source} VERBATIM)
    set(installed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  else()
    set(installed ${source})
  endif()
  list(APPEND zem_man_pages ${installed})
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(component programs)
  if(section STREQUAL "3")
    set(component development)
  endif()
  install(FILES ${installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man-pages ALL DEPENDS ${zem_man_pages})
install(FILES ${PROJECT_SOURCE_DIR}/res/bash-completion/zem
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

if(NOT APPLE)
  install(FILES ${PROJECT_SOURCE_DIR}/res/zem-builder.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 32 48 256)
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/zem-builder-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME zem-builder.png)
    # The archive's icon, a box rather than a folder, under the name the type's icon takes.
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/application-x-zem-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/mimetypes
            RENAME application-x-zem.png)
  endforeach()
  # The file managers' context menus, where each takes actions of every user from: "Compress to
  # .zem" on folders, "Extract here" and "Open as folder" on archives. Dolphin's service menus,
  # Nemo's actions and Thunar's Send To entries; "Open With" offers the desktop entry of
  # zem-open-folder, kept out of the menus. None is in applications/ but that one, so none
  # becomes a program that opens folders.
  set(fm ${PROJECT_SOURCE_DIR}/res/file-managers)
  install(FILES ${fm}/dolphin/zem-builder-folder.desktop ${fm}/dolphin/zem-builder-archive.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus)
  install(FILES ${fm}/nemo/zem-builder-compress.nemo_action ${fm}/nemo/zem-builder-extract.nemo_action
                ${fm}/nemo/zem-builder-open-folder.nemo_action
          DESTINATION ${CMAKE_INSTALL_DATADIR}/nemo/actions)
  install(FILES ${fm}/thunar/zem-builder-compress.desktop ${fm}/thunar/zem-builder-extract.desktop
                ${fm}/thunar/zem-builder-open-folder.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/Thunar/sendto)
  install(FILES ${PROJECT_SOURCE_DIR}/res/zem-open-folder.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # Read by update-mime-database, which the system's packaging runs (dpkg by its trigger on this
  # folder); a plain cmake --install leaves that to the user, as docs/desktop.md says.
  install(FILES ${PROJECT_SOURCE_DIR}/res/zem-builder-mime.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          RENAME zem-builder.xml)
endif()
