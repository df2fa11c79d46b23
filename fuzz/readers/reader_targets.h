// Fuzz targets of the recorded-data readers (tools/datasets): the bytes are
// written to a file and read back. A reader may refuse a file only with
// DatasetError; whatever it returns must hold what the replay tool relies
// on. Shared by the libFuzzer programs and the regression test, which
// replays saved inputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace larkspur {
namespace fuzz {

// KITTI velodyne .bin frame.
void RunKittiBinReader(const std::uint8_t* data, std::size_t size);
// SemanticKITTI .label file; the first byte picks the frame's point count.
void RunKittiLabelReader(const std::uint8_t* data, std::size_t size);
// KITTI poses file.
void RunKittiPosesReader(const std::uint8_t* data, std::size_t size);
// KITTI calibration file ("Tr:" / "Tr_velo_to_cam:").
void RunKittiCalibReader(const std::uint8_t* data, std::size_t size);
// PCD file (header check, then PCL's reader).
void RunPcdReader(const std::uint8_t* data, std::size_t size);
// CARMEN log.
void RunCarmenReader(const std::uint8_t* data, std::size_t size);
// Laser scan text, one scan per line.
void RunLaserTextReader(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
}  // namespace larkspur
