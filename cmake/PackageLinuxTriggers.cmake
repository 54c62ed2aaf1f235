# Run by cpack after it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS). cpack gives a
# package with a shared library a postinst and a postrm that call ldconfig; Debian has dpkg run
# ldconfig by the trigger the package declares (its triggers file) instead. This takes the two
# scripts out of the library's package and builds it again with dpkg-deb.
foreach(package ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${package} NAME)
  if(NOT name MATCHES "^libzem[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} RESULT_VARIABLE failed)
  if(NOT failed)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${package}
                    OUTPUT_QUIET RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "dpkg-deb could not take ldconfig's scripts out of ${package}")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
