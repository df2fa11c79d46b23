# The F1 test reads the HDL-64E set with the replay tool's configuration
# reader, from the source tree's config folder.
if(LARKSPUR_BUILD_TOOLS)
  target_link_libraries(ground_f1_test PRIVATE larkspur_replay_core)
  target_compile_definitions(ground_f1_test PRIVATE
    LARKSPUR_SOURCE_CONFIG_DIR="${PROJECT_SOURCE_DIR}/config")
else()
  set_target_properties(ground_f1_test PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
