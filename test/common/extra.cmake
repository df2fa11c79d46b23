# logger_scenario runs a fixed series of log statements in a process of its
# own; the environment test starts it with the environment each case needs.
add_executable(logger_scenario ${CMAKE_CURRENT_LIST_DIR}/logger_scenario.cpp)
larkspur_strict_warnings(logger_scenario)
target_link_libraries(logger_scenario PRIVATE larkspur_perception_libs)

add_dependencies(logger_environment_test logger_scenario)
target_compile_definitions(logger_environment_test PRIVATE
  LARKSPUR_LOGGER_SCENARIO="$<TARGET_FILE:logger_scenario>")
