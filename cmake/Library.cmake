# libzem's installation (its targets are src/lib's), with zem.pc for pkg-config and a CMake package
# (find_package(zem) gives zem::zem and zem::zem_static). Linux only, as the library.
if(NOT TARGET zem-shared)
  return()
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Debian and its derivatives keep libraries in a folder per architecture (lib/x86_64-linux-gnu),
# where the loader, pkg-config and find_package look, also below /usr/local.
set(zem_libdir ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  set(zem_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

install(TARGETS zem-shared LIBRARY DESTINATION ${zem_libdir}
        COMPONENT library NAMELINK_COMPONENT development)
install(TARGETS zem-static ARCHIVE DESTINATION ${zem_libdir} COMPONENT development)
install(FILES include/zem.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# zem.pc finds its prefix from where it lies, so that an installation can be moved.
file(RELATIVE_PATH zem_pc_to_prefix /${zem_libdir}/pkgconfig /)
string(REGEX REPLACE "/$" "" zem_pc_to_prefix "${zem_pc_to_prefix}")
configure_file(res/zem.pc.in ${PROJECT_BINARY_DIR}/library/zem.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/library/zem.pc
        DESTINATION ${zem_libdir}/pkgconfig COMPONENT development)

set(zem_cmake_dir ${zem_libdir}/cmake/zem)
configure_package_config_file(cmake/zemConfig.cmake.in ${PROJECT_BINARY_DIR}/library/zemConfig.cmake
  INSTALL_DESTINATION ${zem_cmake_dir} PATH_VARS zem_libdir CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/library/zemConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/library/zemConfig.cmake
              ${PROJECT_BINARY_DIR}/library/zemConfigVersion.cmake
        DESTINATION ${zem_cmake_dir} COMPONENT development)

# The ABI baseline that tests/library/abi_test.sh compares with, remade on request when a release
# adds to the interface.
add_custom_target(abi-baseline
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/library/abi_test.sh --update $<TARGET_FILE:zem-shared>
          ${PROJECT_SOURCE_DIR}
  DEPENDS zem-shared VERBATIM)
