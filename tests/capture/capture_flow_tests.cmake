# Overlay, window capture, documentation upload and the capture panel.
kc_add_gtest(NAME capture_overlay_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/overlay_test.cpp
  LIBS kc_capture QT_MAIN WIDGETS XVFB)
kc_add_gtest(NAME capture_window_capture_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_capture_test.cpp
  LIBS kc_capture QT_MAIN WIDGETS XVFB)
add_test(NAME capture_window_capture_wm_test COMMAND ${KC_TEST_SUPPORT_DIR}/with-xvfb --wm
  $<TARGET_FILE:capture_window_capture_test>)
# A screen scaled twice: the captures keep every device pixel.
add_test(NAME capture_window_capture_hidpi_test
  COMMAND ${KC_TEST_SUPPORT_DIR}/with-xvfb --screens 2560x1600 $<TARGET_FILE:capture_window_capture_test>)
set_property(TEST capture_window_capture_hidpi_test PROPERTY ENVIRONMENT QT_SCALE_FACTOR=2)
kc_add_gtest(NAME capture_documentation_upload_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/documentation_upload_test.cpp
  LIBS kc_capture QT_MAIN GUI)
set_property(TEST capture_documentation_upload_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen)
if(TARGET kc_capture_panel)
  kc_add_gtest(NAME capture_panel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_panel_test.cpp
    LIBS kc_capture_panel QT_MAIN WIDGETS XVFB)
  # The panel over frozen pictures (Wayland) and without any way to capture.
  kc_add_gtest(NAME capture_frozen_selection_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/frozen_selection_test.cpp
    LIBS kc_capture_panel QT_MAIN WIDGETS XVFB)
endif()

# A window showing one patient's record, used by scripts/e2e-capture.
add_executable(record_window ${CMAKE_CURRENT_LIST_DIR}/record_window.cpp)
target_link_libraries(record_window PRIVATE Qt6::Widgets)
