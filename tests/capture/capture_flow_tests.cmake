# Overlay, window capture and the capture panel (the outbox: outbox/).
kc_add_gtest(NAME capture_overlay_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/overlay_test.cpp
  LIBS kc_capture QT_MAIN WIDGETS XVFB)
kc_add_gtest(NAME capture_window_capture_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_capture_test.cpp
  LIBS kc_capture PkgConfig::KC_XCB QT_MAIN WIDGETS XVFB)
add_test(NAME capture_window_capture_wm_test COMMAND ${KC_TEST_SUPPORT_DIR}/with-xvfb --wm
  $<TARGET_FILE:capture_window_capture_test>)
# A screen scaled twice: the captures keep every device pixel.
add_test(NAME capture_window_capture_hidpi_test
  COMMAND ${KC_TEST_SUPPORT_DIR}/with-xvfb --screens 2560x1600 $<TARGET_FILE:capture_window_capture_test>)
set_property(TEST capture_window_capture_hidpi_test PROPERTY ENVIRONMENT QT_SCALE_FACTOR=2)
find_package(Qt6 6.4 REQUIRED COMPONENTS Test)
# The capture window, its controls and the windows' artwork.
kc_add_gtest(NAME capture_controls_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/controls_test.cpp
  LIBS kc_capture_panel Qt6::Test QT_MAIN WIDGETS XVFB TIMEOUT 300)
# The panel signed in through the application's delegate (a service
# answering from memory).
if(TARGET kc_app)
  kc_add_gtest(NAME capture_panel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_panel_test.cpp
    LIBS kc_capture_panel kc_app Qt6::Test QT_MAIN WIDGETS XVFB)
  set_property(TEST capture_panel_test APPEND PROPERTY ENVIRONMENT
    "KC_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/test-screenshots/capture-panel;KELVRA_REPORT_CAPTURE=1")
  # A second screen right of the primary one (Xvfb stacks its heads at the
  # origin; Qt's offscreen platform places them side by side).
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-homes/capture-panel-two-screens)
  # It runs beside capture_panel_test: a home of its own keeps the two
  # panels' upload folders apart.
  add_test(NAME capture_panel_two_screens_test COMMAND $<TARGET_FILE:capture_panel_test>
    --gtest_filter=CardPlacement.*:PanelTest.*Card*:PanelTest.*Screen*:-PanelTest.AnAcceptThatCannotStore*)
  set_tests_properties(capture_panel_two_screens_test PROPERTIES TIMEOUT 120 ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_LIST_DIR}/two_screens.json;DISPLAY=;HOME=${CMAKE_BINARY_DIR}/test-homes/capture-panel-two-screens")
endif()
# The panel over frozen pictures (Wayland) and without any way to capture.
kc_add_gtest(NAME capture_frozen_selection_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/frozen_selection_test.cpp
  LIBS kc_capture_panel QT_MAIN WIDGETS XVFB)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-homes/capture-frozen-two-screens)
# Again on two screens side by side: a veil on each, a selection on either.
add_test(NAME capture_frozen_selection_two_screens_test COMMAND $<TARGET_FILE:capture_frozen_selection_test>
  --gtest_filter=*EveryScreen*)
set_tests_properties(capture_frozen_selection_two_screens_test PROPERTIES TIMEOUT 120 ENVIRONMENT
  "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_LIST_DIR}/two_screens.json;DISPLAY=;HOME=${CMAKE_BINARY_DIR}/test-homes/capture-frozen-two-screens")

# A window showing one patient's record, used by scripts/e2e-capture.
add_executable(record_window ${CMAKE_CURRENT_LIST_DIR}/record_window.cpp)
target_link_libraries(record_window PRIVATE Qt6::Widgets)

# A capture of a web page in a real Chromium window, through the overlay,
# accepted and filed (scripts/e2e-capture --browser).
find_program(KC_CHROMIUM chromium)
if(KC_CHROMIUM AND TARGET kelvra-capture AND TARGET kelvra-demo-service)
  add_test(NAME e2e_capture_browser COMMAND ${CMAKE_SOURCE_DIR}/scripts/e2e-capture --browser --quick --mode plain
    --build-dir ${CMAKE_BINARY_DIR} --out ${CMAKE_BINARY_DIR}/e2e-capture-browser)
  set_tests_properties(e2e_capture_browser PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
