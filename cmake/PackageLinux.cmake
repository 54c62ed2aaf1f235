# cpack -G DEB: a Debian package of what cmake --install puts in place, under /usr. The desktop
# dialogs need zenity or kdialog, and zem mount needs fuse3, which the package recommends rather
# than requires: without them the program still runs at a terminal, and zem's other commands too.
if(WIN32 OR APPLE)
  return()
endif()

set(CPACK_PACKAGE_NAME zem-builder)
set(CPACK_PACKAGE_VENDOR "The ZEM Builder developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a folder into one .zem archive")
set(CPACK_PACKAGE_CONTACT
    "ZEM Builder maintainers <maintainers@users.noreply.c-seed-eca61c70.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The extended description, in lines short enough for package tools; the summary above is its
# first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Drop a folder on the ZEM Builder's launcher: it lists the files below the\nfolder, asks before it writes, and writes FOLDER.zem beside the folder.\nThe zem command lists, verifies and extracts archives, and creates them\nfrom scripts, with the same bytes from the same files on any machine.")
# Release binaries without their symbols, as Debian ships them.
set(CPACK_STRIP_FILES ON)
# fuse3 brings fusermount3, which zem mount needs to mount and unmount as a user.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog, fuse3")
# Depends from the libraries the program links, when dpkg-shlibdeps is there to find them.
find_program(ZEM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# /usr/share/doc/zem-builder: the licence in Debian's machine-readable copyright format, made from
# LICENSE, and the changelog, compressed (gzip -n: the same bytes from every build). Debian asks
# both of every package.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE zem_licence)
string(FIND "${zem_licence}" "Permission" zem_terms_start)
string(SUBSTRING "${zem_licence}" ${zem_terms_start} -1 zem_terms)
string(STRIP "${zem_terms}" zem_terms)
string(REPLACE "\n\n" "\n.\n" zem_terms "${zem_terms}")
string(REPLACE "\n" "\n " zem_terms "${zem_terms}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zem-builder

Files: *
Copyright: 2026 The ZEM Builder developers
License: MIT
 ${zem_terms}
")
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(ZEM_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
                     COMMAND ${ZEM_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/res/debian/changelog
                             > ${PROJECT_BINARY_DIR}/doc/changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/res/debian/changelog VERBATIM)
  add_custom_target(debian-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
