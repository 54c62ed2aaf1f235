# Tests of the Linux desktop side, run by shell and Python drivers. A driver exits 77 (reported as
# skipped) when a tool it needs is missing, except in CI (CI=true), where that is a failure.
if(WIN32)
  return()
endif()
find_program(ZEM_BASH bash REQUIRED)
set(zem_tests_dir ${CMAKE_CURRENT_SOURCE_DIR})

add_test(NAME desktop_entry
         COMMAND ${ZEM_BASH} ${zem_tests_dir}/desktop_entry_test.sh
                 ${PROJECT_SOURCE_DIR}/res/zem-builder.desktop)
add_test(NAME png_icons
         COMMAND ${ZEM_BASH} -c "source \"$1/tool_check.sh\" && need python3 && exec python3 \"$1/icons_test.py\" \"$2\""
                 icons ${zem_tests_dir} ${PROJECT_SOURCE_DIR}/res)
add_test(NAME deb_package
         COMMAND ${ZEM_BASH} ${zem_tests_dir}/package_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
add_test(NAME deb_lintian
         COMMAND ${ZEM_BASH} ${zem_tests_dir}/lintian_test.sh ${PROJECT_BINARY_DIR})
add_test(NAME mime_type
         COMMAND ${ZEM_BASH} ${zem_tests_dir}/mime_test.sh ${PROJECT_BINARY_DIR}
                 $<TARGET_FILE:zem-builder>)
# Screenshots of every dialog land in the build folder, as test artefacts.
add_test(NAME gui_zenity
         COMMAND ${ZEM_BASH} ${zem_tests_dir}/gui_test.sh $<TARGET_FILE:zem-builder>
                 ${PROJECT_BINARY_DIR}/test-artefacts/gui)
# The file managers' actions, installed with cmake --install and run as the file managers run
# them (the "Open as folder" ones where zem mount is built).
add_test(NAME file_manager_actions
         COMMAND ${ZEM_BASH} -c "source \"$1/tool_check.sh\" && need python3 && exec python3 \"$1/file_manager_test.py\" \"$2\""
                 file-managers ${zem_tests_dir} ${PROJECT_BINARY_DIR})
set_tests_properties(desktop_entry png_icons deb_package deb_lintian mime_type gui_zenity
                     file_manager_actions PROPERTIES SKIP_RETURN_CODE 77)
# The launcher's "Open as folder", where zem mount is built (src/zem/CMakeLists.txt).
if(zem_mount STREQUAL "linux")
  add_test(NAME open_as_folder
           COMMAND ${ZEM_BASH} ${zem_tests_dir}/open_folder_test.sh ${PROJECT_BINARY_DIR}/zem-open-folder
                   $<TARGET_FILE:zem> ${zem_tests_dir}/fuzz/corpus/tree.zem ${PROJECT_VERSION})
  set_tests_properties(open_as_folder PROPERTIES SKIP_RETURN_CODE 77)
endif()
set_tests_properties(gui_zenity PROPERTIES TIMEOUT 900)  # some 20 s, but minutes on a loaded machine
set_tests_properties(deb_package deb_lintian PROPERTIES TIMEOUT 300)
