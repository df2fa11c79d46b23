#include "moving_score.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace larkspur {
namespace replay {
namespace {

std::string Ratio(const std::optional<double>& value) {
  return value ? fmt::format("{:.3f}", *value) : std::string("n/a");
}

std::string Figures(const Confusion& c) {
  return fmt::format("IoU {:>5}  precision {:>5}  recall {:>5}  (TP {}, FP {}, FN {})",
                     Ratio(c.iou()), Ratio(c.precision()), Ratio(c.recall()), c.true_positive,
                     c.false_positive, c.false_negative);
}

}  // namespace

MovingTally::MovingTally(std::string what, int warmup_frames)
    : what_(std::move(what)), warmup_frames_(warmup_frames) {}

void MovingTally::Add(std::size_t frame, const Confusion& all, const Confusion& observable) {
  const std::size_t seen = processed_++;
  if (all.scored() == 0) return;
  frames_.push_back({frame, all, observable});
  if (frame >= kFirstScoredFrame) {
    all_ += all;
    observable_ += observable;
    ++scored_frames_;
  }
  if (seen >= static_cast<std::size_t>(std::max(warmup_frames_, 0))) {
    after_warmup_ += all;
    ++after_warmup_frames_;
  }
}

std::optional<double> MovingTally::phantoms_per_frame() const {
  if (scored_frames_ == 0) return std::nullopt;
  return static_cast<double>(all_.false_positive) / static_cast<double>(scored_frames_);
}

std::string MovingTally::Summary() const {
  if (!has_truth()) return {};
  std::string text = fmt::format("  Moving {} ({} frames with truth):\n", what_, frames_.size());
  if (scored_frames_ == 0) {
    return text + fmt::format("    none of them is frame {} or later: nothing scored\n",
                              kFirstScoredFrame);
  }
  text += fmt::format("    fixed frames {} on ({} scored), all {} with truth: {}\n",
                      kFirstScoredFrame, scored_frames_, what_, Figures(all_));
  text += fmt::format("    the {} of them inside the observable region: {}\n", observable_.scored(),
                      Figures(observable_));
  text += fmt::format("    phantoms: {:.1f} false dynamic {} per scored frame\n",
                      *phantoms_per_frame(), what_);
  text += fmt::format("    the detector's own warm-up: {} frame(s); the {} frame(s) after it: {}\n",
                      warmup_frames_, after_warmup_frames_, Figures(after_warmup_));
  return text;
}

std::string MovingTally::AccuracyRows(const std::string& key) const {
  if (scored_frames_ == 0) return {};
  const auto value = [](const std::optional<double>& v) {
    return v ? fmt::format("{:.4f}", *v) : std::string();
  };
  std::string rows;
  const std::pair<std::string, const Confusion*> tallies[] = {{key, &all_},
                                                              {key + "_observable", &observable_}};
  for (const auto& [name, c] : tallies) {
    rows += fmt::format("{},{},{},{},{},{},{},{},{:.2f}\n", name, value(c->precision()),
                        value(c->recall()), c->true_positive, c->false_positive, c->false_negative,
                        scored_frames_, value(c->iou()),
                        static_cast<double>(c->false_positive) / scored_frames_);
  }
  return rows;
}

std::string MovingTally::FrameCsv() const {
  std::string text =
      "frame,scored,tp,fp,fn,observable_tp,observable_fp,observable_fn,precision,recall,iou\n";
  const auto value = [](const std::optional<double>& v) {
    return v ? fmt::format("{:.4f}", *v) : std::string();
  };
  for (const FrameCounts& f : frames_) {
    text += fmt::format("{},{},{},{},{},{},{},{},{},{},{}\n", f.frame,
                        f.frame >= kFirstScoredFrame ? 1 : 0, f.all.true_positive,
                        f.all.false_positive, f.all.false_negative, f.observable.true_positive,
                        f.observable.false_positive, f.observable.false_negative,
                        value(f.all.precision()), value(f.all.recall()), value(f.all.iou()));
  }
  return text;
}

}  // namespace replay
}  // namespace larkspur
