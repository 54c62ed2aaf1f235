# The zem Python package (python/zem): pure Python over libzem.so.1 through ctypes, nothing to
# compile. cmake --install puts it in the Python site folder below the prefix, in its own install
# component (the Debian package python3-zem, cmake/PackageLinux.cmake). On by default where the
# library is built and a Python 3 interpreter is found.
if(NOT TARGET zem-shared)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter)
# CI must build and test it: there a missing Python is a failure, not a package left out.
if(NOT Python3_FOUND AND "$ENV{CI}" STREQUAL "true")
  message(FATAL_ERROR "Python 3 not found (scripts/install-desktop-deps.sh installs it)")
endif()
option(ZEM_PYTHON "Install the zem Python package and test it" ${Python3_FOUND})
if(NOT ZEM_PYTHON)
  return()
endif()
if(NOT Python3_FOUND)
  message(FATAL_ERROR "ZEM_PYTHON needs a Python 3 interpreter")
endif()

# Where below the prefix the package goes. Debian's own packages put Python modules in
# lib/python3/dist-packages below /usr, for every Python 3 version; below any other prefix the
# interpreter's site folder (Debian's python3 looks in lib/python3.X/dist-packages below
# /usr/local, other builds in lib/python3.X/site-packages).
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c "import sys, sysconfig, os
if 'deb_system' in sysconfig.get_scheme_names():
    print('lib/python%d.%d/dist-packages' % sys.version_info[:2])
else:
    print(os.path.relpath(sysconfig.get_path('purelib', 'posix_prefix', vars={'base': '/p', 'platbase': '/p'}), '/p'))"
  OUTPUT_VARIABLE zem_python_site_found OUTPUT_STRIP_TRAILING_WHITESPACE)
set(ZEM_PYTHON_SITE "" CACHE STRING
    "The site folder below the prefix for the zem Python package (default: lib/python3/dist-packages below /usr, else the interpreter's)")
if(ZEM_PYTHON_SITE)
  set(zem_python_site_usr ${ZEM_PYTHON_SITE})
  set(zem_python_site_other ${ZEM_PYTHON_SITE})
else()
  set(zem_python_site_usr lib/python3/dist-packages)
  set(zem_python_site_other ${zem_python_site_found})
endif()
set(zem_python_files __init__.py __main__.py _library.py py.typed)
list(TRANSFORM zem_python_files PREPEND ${PROJECT_SOURCE_DIR}/python/zem/)
# The prefix is known only when installing: /usr itself, or cpack's staging folder that ends in
# it, takes Debian's folder.
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"/usr$\")
    set(zem_site \"${zem_python_site_usr}\")
  else()
    set(zem_site \"${zem_python_site_other}\")
  endif()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${zem_site}/zem\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES ${zem_python_files})
" COMPONENT python)
