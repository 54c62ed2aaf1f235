# libzem, the C interface of include/zem.h, for other programs to link: libzem.so.1 (only the
# interface's functions exported) and libzem.a, both made of the same internal libraries as the
# programs, with zem.pc for pkg-config and a CMake package (find_package(zem) gives zem::zem and
# zem::zem_static). Linux only: the Windows programs link the internal libraries statically and
# no library is shipped there.
if(NOT ZEM_SYSTEM STREQUAL "linux")
  return()
endif()
enable_language(C)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Debian and its derivatives keep libraries in a folder per architecture (lib/x86_64-linux-gnu),
# where the loader, pkg-config and find_package look, also below /usr/local.
set(zem_libdir ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  set(zem_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

# What the library is made of. Position-independent, so that the shared library can hold them,
# and hidden: only what include/zem.h marks ZEM_API leaves the library.
set(zem_library_parts zemformat zemreader zemcore zempack zemextract)
set_target_properties(${zem_library_parts} PROPERTIES
  POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

add_library(zeminterface OBJECT src/lib/library.cpp src/lib/library_create.cpp)
target_include_directories(zeminterface PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(zeminterface PRIVATE zemextract zempack)
target_compile_definitions(zeminterface PRIVATE ZEM_VERSION="${PROJECT_VERSION}")
set_target_properties(zeminterface PROPERTIES
  POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
zem_set_compiler_options(zeminterface)

# The library's name follows the header's major version: libzem.so.1 for ZEM_VERSION_MAJOR 1.
file(STRINGS include/zem.h zem_major_line REGEX "^#define ZEM_VERSION_MAJOR [0-9]+$")
string(REGEX REPLACE ".* " "" zem_soversion "${zem_major_line}")

add_library(zem-shared SHARED $<TARGET_OBJECTS:zeminterface>)
target_link_libraries(zem-shared PRIVATE ${zem_library_parts})
target_include_directories(zem-shared INTERFACE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(zem-shared PROPERTIES OUTPUT_NAME zem SOVERSION ${zem_soversion}
                                            VERSION ${PROJECT_VERSION})
# Nothing of the static parts, nor the C++ runtime's templates (which its headers mark visible),
# leaks out beside the interface; every symbol the library needs is resolved when it is linked.
target_link_options(zem-shared PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/res/libzem.map
  -Wl,--exclude-libs,ALL -Wl,--no-undefined -Wl,--as-needed)
set_property(TARGET zem-shared APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/res/libzem.map)

# The static library holds every part's objects itself: its users have no internal libraries to
# link.
set(zem_static_objects $<TARGET_OBJECTS:zeminterface>)
foreach(part ${zem_library_parts})
  list(APPEND zem_static_objects $<TARGET_OBJECTS:${part}>)
endforeach()
add_library(zem-static STATIC ${zem_static_objects})
target_include_directories(zem-static INTERFACE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(zem-static PROPERTIES OUTPUT_NAME zem)

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
