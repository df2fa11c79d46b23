# The scene, scoring and truth tests drive the replay tool's parts directly;
# the end-to-end tests run the tool itself. All need the tool's build.
set(larkspur_replay_part_tests scene_test moving_score_test laser_truth_test moving_recordings_test)
if(LARKSPUR_BUILD_TOOLS)
  foreach(test IN LISTS larkspur_replay_part_tests)
    target_link_libraries(${test} PRIVATE larkspur_replay_core)
  endforeach()
  target_compile_definitions(moving_recordings_test PRIVATE
    LARKSPUR_SOURCE_CONFIG_DIR="${PROJECT_SOURCE_DIR}/config")
  target_link_libraries(replay_test PRIVATE larkspur_replay_core)
  target_compile_definitions(replay_test PRIVATE
    LARKSPUR_REPLAY_EXE="$<TARGET_FILE:larkspur_replay>")
  add_dependencies(replay_test larkspur_replay)
else()
  set_target_properties(${larkspur_replay_part_tests} replay_test PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
if(LARKSPUR_BUILD_TOOLS)
  target_link_libraries(ground_height_test PRIVATE larkspur_replay_core)
  target_compile_definitions(ground_height_test PRIVATE
    LARKSPUR_SOURCE_CONFIG_DIR="${PROJECT_SOURCE_DIR}/config")
else()
  set_target_properties(ground_height_test PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
if(LARKSPUR_BUILD_TOOLS)
  target_compile_definitions(unfamiliar_recordings_test PRIVATE
    LARKSPUR_REPLAY_EXE="$<TARGET_FILE:larkspur_replay>")
  add_dependencies(unfamiliar_recordings_test larkspur_replay)
else()
  set_target_properties(unfamiliar_recordings_test PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
