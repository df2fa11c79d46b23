# logger_scenario runs a fixed series of log statements in a process of its
# own; the logger tests start it with the environment each case needs.
add_executable(logger_scenario ${CMAKE_CURRENT_LIST_DIR}/logger_scenario.cpp)
larkspur_strict_warnings(logger_scenario)
target_link_libraries(logger_scenario PRIVATE larkspur_perception_libs)

foreach(test_target IN ITEMS logger_environment_test logger_journal_test)
  add_dependencies(${test_target} logger_scenario)
  target_compile_definitions(${test_target} PRIVATE
    LARKSPUR_LOGGER_SCENARIO="$<TARGET_FILE:logger_scenario>")
endforeach()
