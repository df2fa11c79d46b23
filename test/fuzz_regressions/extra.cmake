# The regression test replays saved fuzz inputs through the fuzz targets' own
# decoders and bodies (fuzz/CMakeLists.txt).
target_link_libraries(fuzz_replay_test PRIVATE larkspur_fuzz_targets larkspur_fuzz_reader_targets)
target_compile_definitions(fuzz_replay_test PRIVATE
  LARKSPUR_FUZZ_INPUTS_DIR="${CMAKE_CURRENT_LIST_DIR}/inputs")
