# zem-builder-<version>-win64.zip: one folder of that name holding the program, zem.exe
# (cmake/ZemTool.cmake), a short readme and the licence, as text files with Windows line ends.
#   cmake --build build/win64 --target package   ->   build/win64/zem-builder-<version>-win64.zip
install(TARGETS zem-builder RUNTIME DESTINATION .)
# (Neither text holds an @NAME@ for configure_file to replace.)
configure_file(${PROJECT_SOURCE_DIR}/res/README-windows.txt ${PROJECT_BINARY_DIR}/package-text/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/package-text/LICENSE.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/package-text/README.txt
              ${PROJECT_BINARY_DIR}/package-text/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zem-builder)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zem-builder-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
