# The scene test drives the replay tool's parts directly; the end-to-end tests
# run the tool itself. Both need the tool's build.
if(LARKSPUR_BUILD_TOOLS)
  target_link_libraries(scene_test PRIVATE larkspur_replay_core)
  target_link_libraries(replay_test PRIVATE larkspur_replay_core)
  target_compile_definitions(replay_test PRIVATE
    LARKSPUR_REPLAY_EXE="$<TARGET_FILE:larkspur_replay>")
  add_dependencies(replay_test larkspur_replay)
else()
  set_target_properties(scene_test replay_test PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
