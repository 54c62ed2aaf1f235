# The Windows program: windowed (no console opens), statically linked, with its icon (group 101)
# and version resources. Included by the root CMakeLists.txt when building for Windows.
enable_language(RC)

# Committed, made by res/make_ico.py from the shared artwork (the build needs no Python).
set(ZEM_ICON_FILE ${PROJECT_SOURCE_DIR}/res/zem-builder.ico)
set(ZEM_ARCHIVE_ICON_FILE ${PROJECT_SOURCE_DIR}/res/zem-archive.ico)
configure_file(${PROJECT_SOURCE_DIR}/res/zem-builder.rc.in ${PROJECT_BINARY_DIR}/zem-builder.rc
               @ONLY)
set_source_files_properties(${PROJECT_BINARY_DIR}/zem-builder.rc PROPERTIES
                            OBJECT_DEPENDS "${ZEM_ICON_FILE};${ZEM_ARCHIVE_ICON_FILE}")
# Its own object library, so that the C++ warning options never reach the resource compiler.
add_library(zem-resources OBJECT ${PROJECT_BINARY_DIR}/zem-builder.rc)
target_link_libraries(zem-builder PRIVATE zem-resources)

set_target_properties(zem-builder PROPERTIES WIN32_EXECUTABLE ON)
target_link_options(zem-builder PRIVATE -mwindows -static -static-libgcc -static-libstdc++)

include(PackageWindows)
