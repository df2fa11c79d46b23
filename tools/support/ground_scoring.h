// Scoring of the three-cloud groundRemove against the SemanticKITTI labels of
// the shared recordings, for the F1 test and the ground-removal benchmark.
//
// Ground classes: road, parking, sidewalk, other-ground, lane-marking, terrain
// (40, 44, 48, 49, 60, 72). Unlabelled (0), outlier (1) and vegetation (70)
// points are left out. A point is predicted ground when it is in the ground
// output; points the remover drops count as not ground. Precision, recall and
// F1 are pooled over all scored points of the frames.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace support {

struct GroundTally {
  long true_positive = 0;
  long false_positive = 0;
  long false_negative = 0;

  void Add(const GroundTally& other) {
    true_positive += other.true_positive;
    false_positive += other.false_positive;
    false_negative += other.false_negative;
  }
  // In percent.
  double Precision() const {
    return 100.0 * static_cast<double>(true_positive) /
           static_cast<double>(true_positive + false_positive);
  }
  double Recall() const {
    return 100.0 * static_cast<double>(true_positive) /
           static_cast<double>(true_positive + false_negative);
  }
  double F1() const {
    return 200.0 * static_cast<double>(true_positive) /
           static_cast<double>(2 * true_positive + false_positive + false_negative);
  }
};

// One labelled frame of the shared recordings.
struct LabelledFrame {
  std::string sequence;  // "kitti_hdl64", "03", "04" or "08"
  std::string cloud;     // paths
  std::string labels;
};

// The 32 labelled frames (kitti_hdl64 000000-000001, kitti_sequences 03, 04
// and 08 frames 000000-000009), or nothing when any of them is absent.
inline std::optional<std::vector<LabelledFrame>> SharedLabelledFrames() {
  std::vector<std::pair<std::string, std::string>> wanted;  // sequence, folder
  std::vector<int> counts;
  wanted.emplace_back("kitti_hdl64", "kitti_hdl64");
  counts.push_back(2);
  for (const char* sequence : {"03", "04", "08"}) {
    wanted.emplace_back(sequence, std::string("kitti_sequences/") + sequence);
    counts.push_back(10);
  }
  std::vector<LabelledFrame> frames;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    for (int i = 0; i < counts[k]; ++i) {
      char name[16];
      std::snprintf(name, sizeof(name), "%06d", i);
      const auto cloud =
          larkspur::datasets::SharedDataPath(wanted[k].second + "/velodyne/" + name + ".bin");
      const auto labels =
          larkspur::datasets::SharedDataPath(wanted[k].second + "/labels/" + name + ".label");
      if (!cloud || !labels) return std::nullopt;
      frames.push_back({wanted[k].first, *cloud, *labels});
    }
  }
  return frames;
}

namespace detail {

inline bool IsGroundClass(std::uint32_t label) {
  const std::uint32_t semantic = label & 0xFFFFu;
  return semantic == 40 || semantic == 44 || semantic == 48 || semantic == 49 || semantic == 60 ||
         semantic == 72;
}

inline bool IsUnscored(std::uint32_t label) {
  const std::uint32_t semantic = label & 0xFFFFu;
  return semantic == 0 || semantic == 1 || semantic == 70;
}

using PointKey = std::array<std::uint32_t, 3>;

struct PointKeyHash {
  std::size_t operator()(const PointKey& key) const {
    return (std::size_t{key[0]} * 73856093u) ^ (std::size_t{key[1]} * 19349663u) ^
           (std::size_t{key[2]} * 83492791u);
  }
};

inline PointKey KeyOf(const pcl::PointXYZ& p) {
  PointKey key{};
  std::memcpy(key.data(), p.data, sizeof(key));
  return key;
}

}  // namespace detail

// Splits `cloud` with `remover` and scores its ground output. Output points
// are input points unchanged, so each is found again by its coordinates.
inline GroundTally ScoreGroundRemoval(kestrel::perception::RemoveGroundLineFit& remover,
                                      const std::shared_ptr<pcl::PointCloud<pcl::PointXYZ>>& cloud,
                                      const std::vector<std::uint32_t>& labels) {
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  auto nonground = std::make_shared<Cloud>();
  auto ground = std::make_shared<Cloud>();
  remover.groundRemove(cloud, nonground, ground);
  std::unordered_map<detail::PointKey, int, detail::PointKeyHash> predicted;
  for (const pcl::PointXYZ& p : *ground) ++predicted[detail::KeyOf(p)];

  GroundTally tally;
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    const auto found = predicted.find(detail::KeyOf((*cloud)[i]));
    const bool is_predicted = found != predicted.end() && found->second > 0;
    if (is_predicted) --found->second;
    if (detail::IsUnscored(labels[i])) continue;
    const bool is_ground = detail::IsGroundClass(labels[i]);
    if (is_predicted && is_ground) ++tally.true_positive;
    if (is_predicted && !is_ground) ++tally.false_positive;
    if (!is_predicted && is_ground) ++tally.false_negative;
  }
  return tally;
}

// Tallies per sequence, in the order of `frames`, and pooled.
struct GroundScore {
  std::vector<std::pair<std::string, GroundTally>> sequences;
  GroundTally pooled;
};

inline GroundScore ScoreGroundRemoval(const kestrel::perception::GroundRemovalParams& params,
                                      const std::vector<LabelledFrame>& frames) {
  kestrel::perception::RemoveGroundLineFit remover(params);
  GroundScore score;
  for (const LabelledFrame& frame : frames) {
    const auto cloud = larkspur::datasets::ReadKittiBin(frame.cloud);
    const GroundTally tally = ScoreGroundRemoval(
        remover, cloud, larkspur::datasets::ReadSemanticKittiLabels(frame.labels, cloud->size()));
    if (score.sequences.empty() || score.sequences.back().first != frame.sequence) {
      score.sequences.emplace_back(frame.sequence, GroundTally{});
    }
    score.sequences.back().second.Add(tally);
    score.pooled.Add(tally);
  }
  return score;
}

}  // namespace support
}  // namespace larkspur
