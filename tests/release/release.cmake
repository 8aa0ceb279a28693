# The release files: what the zip and the programs carry (natively), and the installer under
# Wine as an operator meets it.
set(ZK_DIST_DIR ${ZK_WINDOWS_DIR}/../dist)
set(ZK_RELEASE_ENV "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_E2E_WORK=${CMAKE_BINARY_DIR}/tests/e2e;ZK_DIST_DIR=${ZK_DIST_DIR};ZK_VERSION=${PROJECT_VERSION};PYTHONDONTWRITEBYTECODE=1")
add_test(NAME release_files
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_release_files.py)
add_test(NAME release_installer
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_installer.py)
set_tests_properties(release_files release_installer PROPERTIES TIMEOUT 600 LABELS release
                     ENVIRONMENT "${ZK_RELEASE_ENV}")
# The operator manual: every text the programs show is among its operator messages; and its
# pictures, taken anew from the running monitor into tests/artefacts/manual
# (tools/release/make-manual.sh --screens puts them into docs/ru/img).
add_test(NAME release_manual
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_manual.py)
add_test(NAME release_manual_screens
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_manual_screens.py)
set_tests_properties(release_manual release_manual_screens PROPERTIES TIMEOUT 300 LABELS release
                     SKIP_RETURN_CODE 77
                     ENVIRONMENT "${ZK_RELEASE_ENV};ZK_ARTEFACTS=${CMAKE_BINARY_DIR}/tests/artefacts")
