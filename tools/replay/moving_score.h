// Moving-object segmentation scored the SemanticKITTI way, over a fixed set
// of frames so that parameter sets can be compared: every frame from the
// fifth of a recording on (index >= kFirstScoredFrame) is scored, whatever
// the detector's own warm-up; frames after that warm-up are tallied apart.
// Figures: IoU = TP / (TP + FP + FN) of the moving class, precision, recall,
// and the phantom rate, false dynamic points (or beams) per scored frame.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "truth.h"

namespace larkspur {
namespace replay {

// The fifth frame: the default cloud detector's grid needs four frames
// before what it has seen from the start turns static.
constexpr std::size_t kFirstScoredFrame = 4;

class MovingTally {
 public:
  // `what`: the scored items, e.g. "points"; `warmup_frames`: the
  // detector's own warm-up, in frames it has processed.
  MovingTally(std::string what, int warmup_frames);

  // One processed frame: its index in the recording, its counts over every
  // item with truth and over the observable items. Frames without truth are
  // processed (they count towards the warm-up) but not scored.
  void Add(std::size_t frame, const Confusion& all, const Confusion& observable);

  struct FrameCounts {
    std::size_t frame = 0;
    Confusion all;
    Confusion observable;
  };
  // Every frame with truth, in the order added, scored or not.
  const std::vector<FrameCounts>& frames() const { return frames_; }
  bool has_truth() const { return !frames_.empty(); }

  const Confusion& all() const { return all_; }
  const Confusion& observable() const { return observable_; }
  std::size_t scored_frames() const { return scored_frames_; }
  // Frames with truth after the detector's own warm-up, and their counts.
  const Confusion& after_warmup() const { return after_warmup_; }
  std::size_t after_warmup_frames() const { return after_warmup_frames_; }
  int warmup_frames() const { return warmup_frames_; }

  // False dynamic items per scored frame; nothing when no frame was scored.
  std::optional<double> phantoms_per_frame() const;

  // Lines of the replay summary, indented by two spaces.
  std::string Summary() const;
  // Rows "<key>,precision,recall,tp,fp,fn,frames,iou,false_per_frame" for
  // the fixed frames (key) and the observable region (key + "_observable").
  std::string AccuracyRows(const std::string& key) const;
  // One row per frame with truth: frame,scored,tp,fp,fn,observable_tp,...
  std::string FrameCsv() const;

 private:
  std::string what_;
  int warmup_frames_;
  std::size_t processed_ = 0;
  std::vector<FrameCounts> frames_;
  Confusion all_, observable_, after_warmup_;
  std::size_t scored_frames_ = 0, after_warmup_frames_ = 0;
};

}  // namespace replay
}  // namespace larkspur
