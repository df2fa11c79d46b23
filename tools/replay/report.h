// The replay's figures: one CSV row per frame (counts, the time of every
// library call, confusion counts where ground truth exists), and the summary
// printed at the end (medians, precision and recall).
#pragma once

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "frame.h"
#include "moving_score.h"
#include "pipeline.h"
#include "score.h"

namespace larkspur {
namespace replay {

struct FrameRow {
  std::size_t frame = 0;
  std::string name;
  std::optional<double> points, ground, nonground, dynamic, static_points, clusters;
  std::optional<double> beams, dynamic_beams, static_beams;
  CallTimes times;
  FrameScore score;
};

FrameRow MakeRow(const Frame& frame, const FrameOutput& output, const FrameScore& score);

class Report {
 public:
  // Creates `csv_path` and writes its header; throws std::runtime_error when
  // the file cannot be written.
  Report(const std::string& csv_path, int cloud_warmup_frames, int laser_warmup_frames);

  void Add(const FrameRow& row);

  // The summary text; `source` describes the input.
  std::string Summary(const std::string& source) const;
  // Machine-readable accuracy:
  // metric,precision,recall,tp,fp,fn,frames,iou,false_per_frame.
  std::string AccuracyCsv() const;

  std::size_t frames() const { return rows_.size(); }
  const MovingTally& moving_points() const { return moving_points_; }
  const MovingTally& moving_beams() const { return moving_beams_; }

 private:
  struct Accuracy {
    std::string name;
    Confusion confusion;
    std::size_t frames = 0;
  };
  std::vector<Accuracy> Accuracies() const;

  std::ofstream csv_;
  std::string csv_path_;
  int cloud_warmup_frames_;
  int laser_warmup_frames_;
  std::vector<FrameRow> rows_;
  // Confusions summed over the frames that are scored.
  Accuracy ground_{"ground removal (cloud points)", {}, 0};
  Accuracy dynamic_points_{"dynamic detection (cloud points)", {}, 0};
  Accuracy dynamic_beams_{"dynamic detection (laser beams)", {}, 0};
  MovingTally moving_points_;
  MovingTally moving_beams_;
  std::size_t cloud_frames_ = 0;
  std::size_t scan_frames_ = 0;
  // Frames with dynamic truth that fell in a detector's warm-up.
  std::size_t cloud_truth_in_warmup_ = 0;
  std::size_t scan_truth_in_warmup_ = 0;
};

// Median of the present values, or nothing.
std::optional<double> Median(std::vector<double> values);

}  // namespace replay
}  // namespace larkspur
