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

# The archive viewer: a window of its own (common controls only), with the archive's icon and a
# manifest asking for the common controls of version 6 and per-monitor DPI awareness.
set(ZEM_VIEWER_MANIFEST ${PROJECT_SOURCE_DIR}/res/zem-viewer.manifest)
configure_file(${PROJECT_SOURCE_DIR}/res/zem-viewer.rc.in ${PROJECT_BINARY_DIR}/zem-viewer.rc @ONLY)
set_source_files_properties(${PROJECT_BINARY_DIR}/zem-viewer.rc PROPERTIES
                            OBJECT_DEPENDS "${ZEM_ARCHIVE_ICON_FILE};${ZEM_VIEWER_MANIFEST}")
add_library(zem-viewer-resources OBJECT ${PROJECT_BINARY_DIR}/zem-viewer.rc)
add_executable(zem-viewer WIN32 src/viewer/main_win32.cpp src/viewer/shell_win32.cpp)
target_link_libraries(zem-viewer PRIVATE zemviewer zem-viewer-resources comctl32 comdlg32 shlwapi
                      shell32 ole32 uuid)
zem_set_compiler_options(zem-viewer)
target_link_options(zem-viewer PRIVATE -mwindows -static -static-libgcc -static-libstdc++)

include(PackageWindows)
