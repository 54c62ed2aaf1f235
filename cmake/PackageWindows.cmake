# zem-builder-<version>-win64.zip: one folder of that name holding the program, the viewer, zem.exe
# (src/zem/CMakeLists.txt), a short readme and the licence, as text files with Windows line ends.
#   cmake --build build/win64 --target package   ->   build/win64/zem-builder-<version>-win64.zip
install(TARGETS zem-builder zem-viewer RUNTIME DESTINATION .)
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

# zem-builder-<version>-setup.exe: the setup program (res/zem-builder.nsi), made with NSIS on Linux.
#   cmake --build build/win64 --target installer   ->   build/win64/zem-builder-<version>-setup.exe
# Part of the default build when makensis is there, so that the Windows suite tests it.
find_program(ZEM_MAKENSIS makensis)
set(ZEM_SETUP ${PROJECT_BINARY_DIR}/zem-builder-${PROJECT_VERSION}-setup.exe)
# The files as the zip has them: stripped, and the texts with Windows line ends.
set(ZEM_SETUP_FILES ${PROJECT_BINARY_DIR}/setup-files)
if(ZEM_MAKENSIS)
  add_custom_command(
    OUTPUT ${ZEM_SETUP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEM_SETUP_FILES}
    COMMAND ${CMAKE_STRIP} -o ${ZEM_SETUP_FILES}/zem-builder.exe $<TARGET_FILE:zem-builder>
    COMMAND ${CMAKE_STRIP} -o ${ZEM_SETUP_FILES}/zem.exe $<TARGET_FILE:zem>
    COMMAND ${CMAKE_STRIP} -o ${ZEM_SETUP_FILES}/zem-viewer.exe $<TARGET_FILE:zem-viewer>
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/package-text/README.txt
            ${PROJECT_BINARY_DIR}/package-text/LICENSE.txt ${ZEM_SETUP_FILES}
    COMMAND ${ZEM_MAKENSIS} -V2 -WX -DVERSION=${PROJECT_VERSION} -DSTAGE=${ZEM_SETUP_FILES}
            -DICON=${ZEM_ICON_FILE} -DOUTFILE=${ZEM_SETUP}
            ${PROJECT_SOURCE_DIR}/res/zem-builder.nsi
    DEPENDS zem-builder zem zem-viewer ${PROJECT_SOURCE_DIR}/res/zem-builder.nsi
            ${PROJECT_BINARY_DIR}/package-text/README.txt
            ${PROJECT_BINARY_DIR}/package-text/LICENSE.txt ${ZEM_ICON_FILE}
    COMMENT "Making ${ZEM_SETUP} with NSIS"
    VERBATIM)
  add_custom_target(installer ALL DEPENDS ${ZEM_SETUP})
else()
  message(STATUS "makensis not found (apt-get install nsis): no installer target")
endif()
