# The regression tests replay saved fuzz inputs through the fuzz targets' own
# decoders and bodies (fuzz/decoders.h, fuzz/targets.h), which are built on
# libFuzzer's FuzzedDataProvider header (Debian: libclang-rt-14-dev). The
# header alone is copied into the build tree: its directory also holds
# clang's own C headers, which must not shadow the compiler's.
file(GLOB larkspur_clang_include_dirs /usr/lib/llvm-*/lib/clang/*/include)
# The header is the host compiler's and the same for every target CPU, so a
# cross build takes it from the host too.
find_file(LARKSPUR_FUZZED_DATA_PROVIDER fuzzer/FuzzedDataProvider.h
  HINTS ${larkspur_clang_include_dirs} NO_CMAKE_FIND_ROOT_PATH)
if(NOT LARKSPUR_FUZZED_DATA_PROVIDER)
  message(FATAL_ERROR "fuzzer/FuzzedDataProvider.h not found; "
    "install libclang-rt-14-dev (scripts/install-deps.sh test)")
endif()
set(LARKSPUR_FUZZED_DATA_PROVIDER_DIR ${CMAKE_CURRENT_BINARY_DIR}/fuzzed_data_provider)
configure_file(${LARKSPUR_FUZZED_DATA_PROVIDER}
  ${LARKSPUR_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h COPYONLY)

file(GLOB fuzz_regression_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(source IN LISTS fuzz_regression_tests)
  get_filename_component(test_target ${source} NAME_WE)
  target_include_directories(${test_target} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
  target_include_directories(${test_target} SYSTEM PRIVATE ${LARKSPUR_FUZZED_DATA_PROVIDER_DIR})
  target_compile_definitions(${test_target} PRIVATE
    LARKSPUR_FUZZ_INPUTS_DIR="${CMAKE_CURRENT_LIST_DIR}/inputs")
endforeach()
