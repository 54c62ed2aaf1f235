# cpack -G DEB: a Debian package of what cmake --install puts in place, under /usr. The desktop
# dialogs need zenity or kdialog, and zem mount needs fuse3, which the package recommends rather
# than requires: without them the program still runs at a terminal, and zem's other commands too.
if(WIN32 OR APPLE)
  return()
endif()

set(CPACK_PACKAGE_NAME zem-builder)
set(CPACK_PACKAGE_VENDOR "The ZEM Builder developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a folder into one .zem archive")
set(CPACK_PACKAGE_CONTACT "The ZEM Builder developers <zem-builder@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The extended description; the summary above is its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Drop a folder on the ZEM Builder's launcher: it lists the files below the folder, asks before it writes, and writes FOLDER.zem beside the folder.")
# fuse3 brings fusermount3, which zem mount needs to mount and unmount as a user.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog, fuse3")
# Depends from the libraries the program links, when dpkg-shlibdeps is there to find them.
find_program(ZEM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
