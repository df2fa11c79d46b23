// libFuzzer entry of one reader target; LARKSPUR_FUZZ_RUN names its body in
// reader_targets.h (set per program by CMakeLists.txt).
#include <cstddef>
#include <cstdint>

#include "reader_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  larkspur::fuzz::LARKSPUR_FUZZ_RUN(data, size);
  return 0;
}
