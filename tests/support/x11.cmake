# Tests that need a real X server: each runs on an Xvfb of its own with
# QT_QPA_PLATFORM=xcb, so they run beside the offscreen tests, in parallel,
# and on machines without a desktop.
#
# quillpress_add_x11_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
function(quillpress_add_x11_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/tests/support")
  quillpress_target_warnings(${name})
  add_test(NAME ${name}
           COMMAND sh "${CMAKE_SOURCE_DIR}/tests/support/run-under-xvfb.sh" "$<TARGET_FILE:${name}>")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "x11;${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;QUILLPRESS_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR};QUILLPRESS_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# The file manager's side of X Direct Save drags, for tests that drag out.
pkg_check_modules(QP_XCB_XTEST REQUIRED IMPORTED_TARGET GLOBAL xcb xcb-xtest)
add_library(qp_test_xds_peer INTERFACE)
target_include_directories(qp_test_xds_peer INTERFACE "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(qp_test_xds_peer INTERFACE Qt6::Core PkgConfig::QP_XCB_XTEST)
