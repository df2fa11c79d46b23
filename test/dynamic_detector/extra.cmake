# The debug windows of DynamicCloudDetector on a virtual X server: xvfb-run
# starts Xvfb for the one test, which lists the windows with xwininfo. Under
# LeakSanitizer the GUI libraries' process-lifetime objects are suppressed.
find_program(LARKSPUR_XVFB_RUN xvfb-run)
find_program(LARKSPUR_XWININFO xwininfo)
if(LARKSPUR_XVFB_RUN AND LARKSPUR_XWININFO)
  add_test(NAME dynamic_cloud_detector_debug_windows
    COMMAND ${LARKSPUR_XVFB_RUN} -a ${CMAKE_CROSSCOMPILING_EMULATOR}
      $<TARGET_FILE:dynamic_cloud_detector_test>
      --gtest_filter=DebugWindowDisplayTest.*)
  set_tests_properties(dynamic_cloud_detector_debug_windows PROPERTIES
    ENVIRONMENT "LARKSPUR_REQUIRE_DISPLAY=1;QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/dynamic_cloud_detector_lsan.supp"
    TIMEOUT 120)
else()
  message(WARNING "xvfb-run or xwininfo missing (scripts/install-deps.sh test): "
    "the debug-window test is not registered")
endif()
