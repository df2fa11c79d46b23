// Where the replay tool's frames come from: the built-in scene or recorded
// data (KITTI folders with poses and optional SemanticKITTI labels, PCD
// files, CARMEN logs, one-scan-per-line laser text). Every source reports a
// bad file with larkspur::datasets::DatasetError naming the file and the
// line or frame at fault.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "truth.h"

namespace larkspur {
namespace replay {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual std::size_t size() const = 0;
  // Reads or builds frame `index` (< size()); throws DatasetError on a bad file.
  virtual Frame Load(std::size_t index) = 0;
  // One line for the summary, e.g. "KITTI folder data/ (6 frames, labels for 2)".
  virtual std::string Describe() const = 0;
  // What the user should know about how the input was read (a default taken
  // for something the input lacks, lines left out); printed at the start and
  // kept in the summary.
  virtual std::vector<std::string> Notices() const { return {}; }
};

std::unique_ptr<FrameSource> MakeSceneSource(std::uint32_t seed, std::size_t frames);

struct KittiInput {
  std::string folder;       // holds velodyne/*.bin, or the .bin files directly
  std::string poses;        // empty: folder/poses.txt, else folder/poses_estimated.txt
  std::string labels;       // empty: folder/labels when it exists
  std::string calibration;  // optional calib.txt: poses are camera poses, turned
                            // into LiDAR poses with its "Tr" entry
};
// Lists the frames and reads the poses at once (so a missing or short poses
// file is reported before any frame is processed); frames are read lazily.
std::unique_ptr<FrameSource> MakeKittiSource(const KittiInput& input);

// Each PCD file is one frame at the identity pose, read with PCL's reader.
std::unique_ptr<FrameSource> MakePcdSource(const std::vector<std::string>& files);

// All scans are read at once.
std::unique_ptr<FrameSource> MakeCarmenSource(const std::string& file);
std::unique_ptr<FrameSource> MakeLaserTextSource(const std::string& file);

// SemanticKITTI class (low 16 bits of a label) to ground / moving truth:
// ground classes 40, 44, 48, 49, 60, 72; moving classes 252-259; unlabelled
// (0), outlier (1) unknown for both; vegetation (70) unknown for ground.
PointTruth TruthOfSemanticKittiLabel(std::uint32_t label);

}  // namespace replay
}  // namespace larkspur
