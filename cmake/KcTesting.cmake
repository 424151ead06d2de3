# kc_register_app_library(target): link `target` into kelvra-capture.
function(kc_register_app_library target)
  set_property(GLOBAL APPEND PROPERTY KC_APP_LIBRARIES ${target})
endfunction()

# kc_add_gtest(NAME name SOURCES ... LIBS ... [QT_MAIN CORE|GUI|WIDGETS]
#              [XVFB] [KEYRING] [A11Y] [TIMEOUT s] [LABELS ...] [ARGS ...])
#
# One GoogleTest binary registered as one CTest test. QT_MAIN adds a main()
# that creates the Qt application object of that kind (otherwise link
# GTest::gtest_main or bring your own main). XVFB runs it on a
# private Xvfb display; KEYRING inside a private D-Bus session with an
# unlocked throw-away gnome-keyring (and a throw-away HOME); A11Y inside a
# private D-Bus session with its accessibility bus running and the desktop's
# accessibility switched on.
set(KC_TEST_SUPPORT_DIR ${CMAKE_SOURCE_DIR}/tests/support)

function(kc_add_gtest)
  cmake_parse_arguments(T "XVFB;KEYRING;A11Y" "NAME;TIMEOUT;QT_MAIN" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Qt6::Core)
  target_compile_definitions(${T_NAME} PRIVATE
    KC_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KC_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(T_QT_MAIN)
    target_sources(${T_NAME} PRIVATE ${KC_TEST_SUPPORT_DIR}/qt_gtest_main.cpp)
    if(T_QT_MAIN STREQUAL "GUI")
      target_compile_definitions(${T_NAME} PRIVATE KC_TEST_GUI)
      target_link_libraries(${T_NAME} PRIVATE Qt6::Gui)
    elseif(T_QT_MAIN STREQUAL "WIDGETS")
      target_compile_definitions(${T_NAME} PRIVATE KC_TEST_WIDGETS)
      target_link_libraries(${T_NAME} PRIVATE Qt6::Widgets)
    endif()
  endif()
  set(cmd $<TARGET_FILE:${T_NAME}> ${T_ARGS})
  if(T_KEYRING)
    set(cmd ${KC_TEST_SUPPORT_DIR}/with-keyring ${cmd})
  endif()
  if(T_A11Y)
    set(cmd ${KC_TEST_SUPPORT_DIR}/with-a11y-bus --enabled ${cmd})
  endif()
  if(T_XVFB)
    set(cmd ${KC_TEST_SUPPORT_DIR}/with-xvfb ${cmd})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${cmd})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Tests without a display of their own draw offscreen.
  set(env "KC_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(NOT T_XVFB)
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# kc_add_fuzzer(NAME name SOURCES ... LIBS ...): a libFuzzer harness, built
# only with -DKC_FUZZ=ON (clang). scripts/test runs each for a bounded time.
function(kc_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT KC_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${F_NAME})
  file(APPEND ${CMAKE_BINARY_DIR}/fuzzers.txt "${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}\n")
endfunction()
