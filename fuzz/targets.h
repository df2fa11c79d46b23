// The fuzz targets' bodies, one per entry family of the library (their
// sources are in fuzz/<unit>/). Each decodes the bytes (fuzz/decoders/),
// drives the entry points through a sequence of calls on one object, and
// checks what every caller relies on after each call; a broken expectation
// aborts with a message. Shared by the libFuzzer programs and by the
// regression test, which replays saved inputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace larkspur {
namespace fuzz {

void RunDetectorConfig(const std::uint8_t* data, std::size_t size);
void RunCloudDetector(const std::uint8_t* data, std::size_t size);
void RunLaserDetector(const std::uint8_t* data, std::size_t size);
void RunGroundRemoval(const std::uint8_t* data, std::size_t size);
void RunCloudCluster(const std::uint8_t* data, std::size_t size);
void RunCameraFrame(const std::uint8_t* data, std::size_t size);

// Log statements stay on (their formatting is exercised) but write nowhere;
// values already in the environment win.
void QuietLogger();

}  // namespace fuzz
}  // namespace larkspur
