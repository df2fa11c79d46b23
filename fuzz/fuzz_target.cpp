// libFuzzer entry of one target; LARKSPUR_FUZZ_RUN names its body in
// targets.h (set per program by fuzz/CMakeLists.txt).
#include <cstddef>
#include <cstdint>

#include "targets.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  larkspur::fuzz::QuietLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  larkspur::fuzz::LARKSPUR_FUZZ_RUN(data, size);
  return 0;
}
