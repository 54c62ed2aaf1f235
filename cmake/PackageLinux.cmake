# cpack -G DEB: Debian packages of what cmake --install puts in place, under /usr, one per install
# component, as Debian ships a library: zem-builder (the programs), libzem1 (the shared library),
# libzem-dev (what building against it needs) and python3-zem (the Python package over it). The desktop dialogs need zenity or kdialog,
# and zem mount needs fuse3, which the programs' package recommends rather than requires: without
# them the program still runs at a terminal, and zem's other commands too.
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
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs library development)
if(ZEM_PYTHON AND TARGET zem-shared)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME zem-builder)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libzem${zem_soversion})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzem-dev)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The Python package is Python source alone, the same on every architecture; it loads the shared
# library of its version or a later 1.x.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zem)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libzem${zem_soversion} (>= ${PROJECT_VERSION}), python3:any")
# Each summary, then the extended description in lines short enough for package tools.
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
    "packs a folder into one .zem archive\nDrop a folder on the ZEM Builder's launcher: it lists the files below the\nfolder, asks before it writes, and writes FOLDER.zem beside the folder.\nThe zem command lists, verifies and extracts archives, and creates them\nfrom scripts, with the same bytes from the same files on any machine.")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
    "library to read, extract and create .zem archives\nlibzem opens .zem archives, checks their whole structure, finds and reads\nthe stored files, extracts them with the checks of the zem command, and\ncreates archives from folders.\n.\nThis package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "library to read, extract and create .zem archives - development files\nlibzem opens .zem archives, checks their whole structure, finds and reads\nthe stored files, extracts them with the checks of the zem command, and\ncreates archives from folders.\n.\nThis package holds the C header, the static library, the pkg-config and\nCMake files, and the manual page.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Python module to read, extract and create .zem archives\nThe zem module opens .zem archives in the shape of zipfile: it lists the\nstored files, reads them whole or by range, checks and extracts them with\nthe checks of the zem command, and creates archives from folders with the\nsame bytes as zem create. It runs on the libzem library through ctypes.\n.\nThis package holds the module for Python 3, also run as python3 -m zem.")
# Release binaries without their symbols, as Debian ships them.
set(CPACK_STRIP_FILES ON)
# fuse3 brings fusermount3, which zem mount needs to mount and unmount as a user.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "zenity | kdialog, fuse3")
# The programs are made of the library's code, of the same version; so is the development
# package's static library.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libzem${zem_soversion} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libzem${zem_soversion} (= ${PROJECT_VERSION})")
# The shared library's shlibs file (libzem 1 libzem1 (>= VERSION)) and symbols file (each exported
# symbol with the version that brought it; a release that adds one lists it with its version), for
# the packages built on it, and dpkg's ldconfig trigger in place of the scripts cpack would give it
# (PackageLinuxTriggers).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
configure_file(${PROJECT_SOURCE_DIR}/res/debian/library.triggers
               ${PROJECT_BINARY_DIR}/debian/library/triggers COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/res/debian/libzem${zem_soversion}.symbols
               ${PROJECT_BINARY_DIR}/debian/library/symbols COPYONLY)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/library/triggers
    ${PROJECT_BINARY_DIR}/debian/library/symbols)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageLinuxTriggers.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackageLinuxCPack.cmake)
# Depends from the libraries the program links, when dpkg-shlibdeps is there to find them.
find_program(ZEM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# /usr/share/doc/PACKAGE: the licence in Debian's machine-readable copyright format, made from
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
set(zem_doc_folders ${CMAKE_INSTALL_DOCDIR} programs)
if(TARGET zem-shared)
  list(APPEND zem_doc_folders ${CMAKE_INSTALL_DATAROOTDIR}/doc/libzem${zem_soversion} library
                              ${CMAKE_INSTALL_DATAROOTDIR}/doc/libzem-dev development)
endif()
if(ZEM_PYTHON AND TARGET zem-shared)
  list(APPEND zem_doc_folders ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-zem python)
endif()
# Installs the files into each package's documentation folder.
function(zem_install_docs)
  set(folders ${zem_doc_folders})
  while(folders)
    list(POP_FRONT folders folder component)
    install(FILES ${ARGN} DESTINATION ${folder} COMPONENT ${component})
  endwhile()
endfunction()
zem_install_docs(${PROJECT_BINARY_DIR}/doc/copyright)
if(ZEM_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
                     COMMAND ${ZEM_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/res/debian/changelog
                             > ${PROJECT_BINARY_DIR}/doc/changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/res/debian/changelog VERBATIM)
  add_custom_target(debian-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  zem_install_docs(${PROJECT_BINARY_DIR}/doc/changelog.gz)
endif()

include(CPack)
