#include "report.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace larkspur {
namespace replay {
namespace {

constexpr const char* kCsvHeader =
    "frame,source,points,ground_points,nonground_points,dynamic_points,static_points,clusters,"
    "beams,dynamic_beams,static_beams,"
    "groundRemove_ms,Update_ms,DivideCloud_ms,obstacleCluster_ms,camera_frame_ms,Process_ms,"
    "ground_tp,ground_fp,ground_fn,dynamic_tp,dynamic_fp,dynamic_fn,"
    "beam_tp,beam_fp,beam_fn";

std::string Count(const std::optional<double>& value) {
  return value ? fmt::format("{:.0f}", *value) : std::string();
}

std::string Millis(const std::optional<double>& value) {
  return value ? fmt::format("{:.3f}", *value) : std::string();
}

// Quoted when it holds a comma or a quote, as CSV readers expect.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ConfusionFields(const Confusion& c) {
  if (c.scored() == 0) return ",,";
  return fmt::format("{},{},{}", c.true_positive, c.false_positive, c.false_negative);
}

std::optional<double> CountIf(bool present, std::size_t value) {
  if (!present) return std::nullopt;
  return static_cast<double>(value);
}

std::string Ratio(const std::optional<double>& value) {
  return value ? fmt::format("{:.3f}", *value) : std::string("n/a");
}

}  // namespace

std::optional<double> Median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  const double upper = values[middle];
  if (values.size() % 2 == 1) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
  return (lower + upper) / 2.0;
}

FrameRow MakeRow(const Frame& frame, const FrameOutput& output, const FrameScore& score) {
  FrameRow row;
  row.frame = frame.index;
  row.name = frame.name;
  row.times = output.times;
  row.score = score;
  const bool cloud = frame.cloud && output.cloud;
  if (cloud) {
    const CloudOutput& c = *output.cloud;
    row.points = CountIf(true, frame.cloud->points.size());
    row.ground = CountIf(true, c.ground->points.size());
    row.nonground = CountIf(true, c.nonground->points.size());
    row.dynamic = CountIf(true, c.dynamic->points.size());
    row.static_points = CountIf(true, c.static_points->points.size());
    row.clusters = CountIf(true, c.clusters.size());
  }
  if (frame.scan && output.scan) {
    const std::size_t classified = ClassifiedBeams(*frame.scan);
    std::size_t dynamic = 0;
    for (std::size_t i = 0; i < classified; ++i) {
      dynamic += IsDynamicBeam(*output.scan->dynamic_scan, i) ? 1 : 0;
    }
    row.beams = CountIf(true, frame.scan->ranges.size());
    row.dynamic_beams = CountIf(true, dynamic);
    row.static_beams = CountIf(true, classified - dynamic);
  }
  return row;
}

Report::Report(const std::string& csv_path, int cloud_warmup_frames, int laser_warmup_frames)
    : csv_(csv_path),
      csv_path_(csv_path),
      cloud_warmup_frames_(cloud_warmup_frames),
      laser_warmup_frames_(laser_warmup_frames),
      moving_points_("points", cloud_warmup_frames),
      moving_beams_("beams", laser_warmup_frames) {
  if (!csv_) throw std::runtime_error(csv_path + ": cannot write file");
  csv_ << kCsvHeader << '\n';
}

void Report::Add(const FrameRow& row) {
  const CallTimes& t = row.times;
  csv_ << row.frame << ',' << CsvField(row.name) << ',' << Count(row.points) << ','
       << Count(row.ground) << ',' << Count(row.nonground) << ',' << Count(row.dynamic) << ','
       << Count(row.static_points) << ',' << Count(row.clusters) << ',' << Count(row.beams) << ','
       << Count(row.dynamic_beams) << ',' << Count(row.static_beams) << ','
       << Millis(t.ground_remove) << ',' << Millis(t.update) << ',' << Millis(t.divide_cloud) << ','
       << Millis(t.obstacle_cluster) << ',' << Millis(t.camera_frame) << ',' << Millis(t.process)
       << ',' << ConfusionFields(row.score.ground) << ','
       << ConfusionFields(row.score.dynamic_points) << ','
       << ConfusionFields(row.score.dynamic_beams) << '\n';
  csv_.flush();
  if (!csv_) throw std::runtime_error(csv_path_ + ": cannot write file");

  // Dynamic truth is scored once the detector's warm-up is over; frames are
  // counted per sensor, so that the warm-up follows each detector.
  const auto score_dynamic = [](Accuracy& accuracy, const Confusion& frame, std::size_t seen,
                                int warmup, std::size_t& in_warmup) {
    if (frame.scored() == 0) return;
    if (seen < static_cast<std::size_t>(warmup)) {
      ++in_warmup;
      return;
    }
    accuracy.confusion += frame;
    ++accuracy.frames;
  };
  if (row.points) {
    if (row.score.ground.scored() > 0) {
      ground_.confusion += row.score.ground;
      ++ground_.frames;
    }
    score_dynamic(dynamic_points_, row.score.dynamic_points, cloud_frames_++, cloud_warmup_frames_,
                  cloud_truth_in_warmup_);
    moving_points_.Add(row.frame, row.score.moving_points, row.score.moving_points_observable);
  }
  if (row.beams) {
    score_dynamic(dynamic_beams_, row.score.dynamic_beams, scan_frames_++, laser_warmup_frames_,
                  scan_truth_in_warmup_);
    moving_beams_.Add(row.frame, row.score.dynamic_beams, row.score.dynamic_beams_observable);
  }
  rows_.push_back(row);
}

std::vector<Report::Accuracy> Report::Accuracies() const {
  return {ground_, dynamic_points_, dynamic_beams_};
}

std::string Report::Summary(const std::string& source) const {
  const auto column = [&](auto member) {
    std::vector<double> values;
    for (const FrameRow& row : rows_) {
      if (const std::optional<double>& v = member(row)) values.push_back(*v);
    }
    return values;
  };
  std::string text = fmt::format("Input: {}\nFrames: {} ({} with a cloud, {} with a scan)\n",
                                 source, rows_.size(), cloud_frames_, scan_frames_);

  text += "\nPer frame (median):\n";
  const auto count_line = [&](const char* label, auto member) {
    if (const auto m = Median(column(member)))
      text += fmt::format("  {:<22}{:>10.0f}\n", label, *m);
  };
  count_line("points", [](const FrameRow& r) { return r.points; });
  count_line("ground points", [](const FrameRow& r) { return r.ground; });
  count_line("non-ground points", [](const FrameRow& r) { return r.nonground; });
  count_line("dynamic points", [](const FrameRow& r) { return r.dynamic; });
  count_line("static points", [](const FrameRow& r) { return r.static_points; });
  count_line("clusters", [](const FrameRow& r) { return r.clusters; });
  count_line("beams", [](const FrameRow& r) { return r.beams; });
  count_line("dynamic beams", [](const FrameRow& r) { return r.dynamic_beams; });
  count_line("static beams", [](const FrameRow& r) { return r.static_beams; });

  text += "\nTime per library call in ms (median / max over frames):\n";
  const auto time_line = [&](const char* label, auto member) {
    const std::vector<double> values = column(member);
    if (values.empty()) return;
    text += fmt::format("  {:<44}{:>9.3f} / {:.3f}\n", label, *Median(values),
                        *std::max_element(values.begin(), values.end()));
  };
  time_line("groundRemove", [](const FrameRow& r) { return r.times.ground_remove; });
  time_line("DynamicCloudDetector::Update", [](const FrameRow& r) { return r.times.update; });
  time_line("DynamicCloudDetector::DivideCloud",
            [](const FrameRow& r) { return r.times.divide_cloud; });
  time_line("obstacleCluster", [](const FrameRow& r) { return r.times.obstacle_cluster; });
  time_line("camera frames (calculate + fillShapeToMsg)",
            [](const FrameRow& r) { return r.times.camera_frame; });
  time_line("DynamicLaserDetector::Process", [](const FrameRow& r) { return r.times.process; });

  text += "\nAccuracy against ground truth:\n";
  bool any = false;
  for (const Accuracy& a : Accuracies()) {
    if (a.confusion.scored() == 0) continue;
    any = true;
    text += fmt::format("  {:<34} precision {:>5}  recall {:>5}  ({} scored, {} frames)\n", a.name,
                        Ratio(a.confusion.precision()), Ratio(a.confusion.recall()),
                        a.confusion.scored(), a.frames);
  }
  const auto unscored = [&](const Accuracy& a, std::size_t in_warmup, int warmup) {
    if (a.confusion.scored() > 0 || in_warmup == 0) return;
    any = true;
    text += fmt::format(
        "  {:<34} not scored: its {} labelled frame(s) fall in the detector's first {} frames\n",
        a.name, in_warmup, warmup);
  };
  unscored(dynamic_points_, cloud_truth_in_warmup_, cloud_warmup_frames_);
  unscored(dynamic_beams_, scan_truth_in_warmup_, laser_warmup_frames_);
  if (!any) text += "  none (the input carries no ground truth)\n";
  if (dynamic_points_.confusion.scored() > 0 || dynamic_beams_.confusion.scored() > 0 ||
      cloud_truth_in_warmup_ > 0 || scan_truth_in_warmup_ > 0) {
    text += fmt::format(
        "  Dynamic detection is scored from the cloud detector's frame {} and the laser "
        "detector's scan {} on:\n  before that, a fresh grid still calls everything it sees "
        "dynamic, or in the LiDAR\n  free-space mode has seen nothing free yet (its warm-up).\n",
        cloud_warmup_frames_, laser_warmup_frames_);
  }
  if (moving_points_.has_truth() || moving_beams_.has_truth()) {
    text +=
        "\nMoving objects: truly moving are SemanticKITTI classes 252-259, or beams by the "
        "derived truth\nof a laser at rest. Every point or beam with truth counts; ground and "
        "unseen points are\npredicted static. Observable region: the cloud detector's camera "
        "region of interest (its\nwhole grid in the LiDAR free-space mode), the laser detector's "
        "grid.\n";
    text += moving_points_.Summary() + moving_beams_.Summary();
  }
  return text;
}

std::string Report::AccuracyCsv() const {
  std::string text = "metric,precision,recall,tp,fp,fn,frames,iou,false_per_frame\n";
  const char* keys[] = {"ground", "dynamic_points", "dynamic_beams"};
  const std::vector<Accuracy> accuracies = Accuracies();
  for (std::size_t i = 0; i < accuracies.size(); ++i) {
    const Confusion& c = accuracies[i].confusion;
    if (c.scored() == 0) continue;
    const auto value = [](const std::optional<double>& v) {
      return v ? fmt::format("{:.4f}", *v) : std::string();
    };
    const std::size_t frames = accuracies[i].frames;
    text += fmt::format("{},{},{},{},{},{},{},{},{:.2f}\n", keys[i], value(c.precision()),
                        value(c.recall()), c.true_positive, c.false_positive, c.false_negative,
                        frames, value(c.iou()),
                        frames > 0 ? static_cast<double>(c.false_positive) / frames : 0.0);
  }
  return text + moving_points_.AccuracyRows("moving_points") +
         moving_beams_.AccuracyRows("moving_beams");
}

}  // namespace replay
}  // namespace larkspur
