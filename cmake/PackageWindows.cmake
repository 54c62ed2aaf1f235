# zem-builder-<version>-win64.zip: the program and a short readme, and zem.exe (cmake/ZemTool.cmake).
#   cmake --build build/win64 --target package   ->   build/win64/zem-builder-<version>-win64.zip
install(TARGETS zem-builder RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/res/README-windows.txt DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zem-builder)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zem-builder-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
