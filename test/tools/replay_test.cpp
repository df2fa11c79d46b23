// End-to-end runs of the replay tool: the built-in scene, the recorded data,
// and every kind of bad input file.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "datasets.h"

namespace {

namespace fs = std::filesystem;
using larkspur::support::ChildResult;
using Table = std::vector<std::vector<std::string>>;

Table ReadCsv(const fs::path& path) {
  Table rows;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line + ",");
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, ',');) rows.back().push_back(field);
  }
  return rows;
}

// accuracy.csv as metric -> {precision, recall}.
std::map<std::string, std::pair<double, double>> ReadAccuracy(const fs::path& path) {
  std::map<std::string, std::pair<double, double>> accuracy;
  const Table rows = ReadCsv(path);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    accuracy[rows[i].at(0)] = {std::stod(rows[i].at(1)), std::stod(rows[i].at(2))};
  }
  return accuracy;
}

// Each test runs the tool in a folder of its own.
class ReplayTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string folder = (fs::temp_directory_path() / "larkspur_replay_XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    dir_ = folder;
  }
  void TearDown() override { fs::remove_all(dir_); }

  ChildResult Run(const std::vector<std::string>& args) const {
    return larkspur::support::RunChild(LARKSPUR_REPLAY_EXE, args, {}, dir_.string());
  }

  fs::path dir_;
};

// Least share of inked (non-white) pixels, of dynamic-point red, of dark grey
// (occupied cells) and of blue-tinted (free) cells in a picture's drawing
// area: 800 x 800 below a 34-pixel title, above legend rows of 24 pixels.
struct PictureFloor {
  const char* prefix;
  int legend_rows;
  double inked, red, dark, free_cells;
};

void ExpectPicture(const fs::path& path, const PictureFloor& floor) {
  const cv::Mat image = cv::imread(path.string());
  ASSERT_EQ(image.size(), cv::Size(800, 34 + 800 + floor.legend_rows * 24 + 8)) << path;
  double inked = 0, red = 0, dark = 0, free_cells = 0;
  for (int r = 34; r < 834; ++r) {
    for (int c = 0; c < 800; ++c) {
      const cv::Vec3b p = image.at<cv::Vec3b>(r, c);
      inked += !(p[0] == 255 && p[1] == 255 && p[2] == 255);
      red += p[2] > 180 && p[1] < 80 && p[0] < 80;
      dark += p[0] == p[1] && p[1] == p[2] && p[0] < 60;
      free_cells += p[0] == 255 && p[1] == p[2] && p[1] < 255;
    }
  }
  EXPECT_GE(inked, floor.inked * 640000) << path;
  EXPECT_GE(red, floor.red) << path;
  EXPECT_GE(dark, floor.dark) << path;
  EXPECT_GE(free_cells, floor.free_cells) << path;
}

TEST_F(ReplayTest, ShortSceneWritesTablePicturesAndAccuracy) {
  const ChildResult run = Run({"--frames", "40", "--pictures", "2"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("Accuracy against ground truth"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("warning:"), std::string::npos) << run.output;
  // Standard error is no terminal here: no progress bar.
  EXPECT_EQ(run.output.find("frames/s"), std::string::npos) << run.output;

  const Table rows = ReadCsv(dir_ / "out" / "frames.csv");
  ASSERT_EQ(rows.size(), 41u);
  ASSERT_EQ(rows[0].size(), 26u);
  EXPECT_EQ(rows[0][2], "points");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const auto& f = rows[i];
    ASSERT_EQ(f.size(), 26u);
    EXPECT_EQ(f[0], std::to_string(i - 1));
    // ground + non-ground never exceed the input; non-ground is dynamic +
    // static; the laser has 541 beams.
    EXPECT_LE(std::stol(f[3]) + std::stol(f[4]), std::stol(f[2]));
    EXPECT_EQ(std::stol(f[5]) + std::stol(f[6]), std::stol(f[4]));
    EXPECT_EQ(f[8], "541");
  }

  // Pedestrians cross in front of the robot during the two pictured frames
  // (19 and 39 of 40); a grid holds cells believed free and occupied.
  const PictureFloor floors[] = {{"birds_eye_", 5, 0.02, 20, 0, 0},
                                 {"laser_", 4, 0.02, 0, 0, 0},
                                 {"cloud_grid_", 3, 0.0, 0, 100, 1000},
                                 {"laser_grid_", 3, 0.0, 0, 100, 1000}};
  for (const char* frame : {"000019.png", "000039.png"}) {
    for (const PictureFloor& floor : floors) {
      ExpectPicture(dir_ / "out" / (std::string(floor.prefix) + frame), floor);
    }
  }

  // Floors from the scene's geometry and the tuned parameters. Ground: 5 %
  // slopes stay below max_slope and the 1 cm range noise far below the
  // 0.15 m threshold; only surfaces within 0.15 m of the ground (walls,
  // poles, feet) are confused, about 1 % of the points. Dynamic points: a
  // cell first seen free stays dynamic for its first four hits while a
  // person at 1.3-1.5 m/s crosses about 1.4 cells per frame, so most of a
  // crossing person is caught; newly revealed static surfaces in the
  // camera's footprint are the false positives. Beams: as for points, with
  // occluded cells drifting to unknown.
  const auto accuracy = ReadAccuracy(dir_ / "out" / "accuracy.csv");
  const std::pair<const char*, std::pair<double, double>> minima[] = {
      {"ground", {0.95, 0.95}}, {"dynamic_points", {0.6, 0.6}}, {"dynamic_beams", {0.7, 0.8}}};
  for (const auto& [metric, floor] : minima) {
    ASSERT_EQ(accuracy.count(metric), 1u) << metric;
    EXPECT_GE(accuracy.at(metric).first, floor.first) << metric;
    EXPECT_GE(accuracy.at(metric).second, floor.second) << metric;
  }
}

TEST_F(ReplayTest, RecordedDataRunsEveryFrame) {
  // One picture: the last frame's.
  const struct {
    const char* path;
    const char* option;
    std::size_t frames;
    const char* picture;
  } recordings[] = {{"kitti_hdl64", "--kitti", 6, "birds_eye_000005.png"},
                    {"kitti_objects", "--kitti", 2, "birds_eye_000001.png"},
                    {"laser_people/scans.txt", "--laser-text", 1265, "laser_001264.png"},
                    {"laser_intel/intel_excerpt.clf", "--carmen", 3391, "laser_grid_003390.png"}};
  for (const auto& recording : recordings) {
    const auto path = larkspur::datasets::SharedDataPath(recording.path);
    if (!path) GTEST_SKIP() << "recorded data not found: ../shared/data/" << recording.path;
    SCOPED_TRACE(recording.path);
    const std::string out = fs::path(recording.path).begin()->string();
    const ChildResult run = Run({recording.option, *path, "--pictures", "1", "--out", out});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    // Nothing implausible in real recordings.
    EXPECT_EQ(run.output.find("warning:"), std::string::npos) << run.output;
    EXPECT_EQ(ReadCsv(dir_ / out / "frames.csv").size(), recording.frames + 1);
    EXPECT_TRUE(fs::exists(dir_ / out / recording.picture));
  }
  // Two KITTI frames carry SemanticKITTI labels; the ground is scored on them.
  const auto accuracy = ReadAccuracy(dir_ / "kitti_hdl64" / "accuracy.csv");
  ASSERT_EQ(accuracy.count("ground"), 1u);
  EXPECT_GE(accuracy.at("ground").first, 0.8);
  EXPECT_GE(accuracy.at("ground").second, 0.8);
}

TEST_F(ReplayTest, SemanticKittiPosesBesideATrEntryAreTurnedIntoLidarPoses) {
  const std::string points(reinterpret_cast<const char*>(std::array<float, 4>{1, 0, 0, 0}.data()),
                           16);
  const std::string pose = "1 0 0 0 0 1 0 0 0 0 1 0\n";
  const struct {
    const char* calibration;
    const char* expected;
  } cases[] = {{"P0: 1 0 0 0 0 1 0 0 0 0 1 0\nTr: 0 -1 0 0 0 0 -1 0 1 0 0 0\n",
                "(camera poses, turned into LiDAR poses with"},
               {"P0: 1 0 0 0 0 1 0 0 0 0 1 0\n", "(taken as LiDAR poses:"}};
  for (const auto& c : cases) {
    fs::create_directories(dir_ / "seq" / "velodyne");
    std::ofstream(dir_ / "seq" / "velodyne" / "000000.bin", std::ios::binary) << points;
    std::ofstream(dir_ / "seq" / "poses.txt") << pose;
    std::ofstream(dir_ / "seq" / "calib.txt") << c.calibration;
    const ChildResult run = Run({"--kitti", "seq", "--pictures", "0"});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << run.output;
  }
}

std::string Floats(std::initializer_list<float> values) {
  return std::string(reinterpret_cast<const char*>(values.begin()), values.size() * sizeof(float));
}

const std::string kPose = "1 0 0 0 0 1 0 0 0 0 1 0\n";
const std::string kPoints = Floats({1, 0, -1, 0, 2, 0, -1, 0});  // two points
const std::string kScans = "# comment\n1.0 -1.5 0.5 0.0 5.0 3 1 1 1\n";
const std::string kPcd =
    "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
    "WIDTH 10\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 10\n";
const std::string kBin0 = "kitti/velodyne/000000.bin", kBin1 = "kitti/velodyne/000001.bin";

// Files written into the run's folder, the command line, the exit code (2 for
// a bad command line, 1 for a bad file) and the texts the message must hold.
struct BadInput {
  const char* name;
  std::map<std::string, std::string> files;
  std::vector<std::string> args;
  int exit_code;
  std::vector<std::string> expected;
};

void PrintTo(const BadInput& input, std::ostream* out) { *out << input.name; }

// clang-format off
const BadInput kBadInputs[] = {
    {"TruncatedKittiFrame", {{kBin0, kPoints}, {kBin1, kPoints.substr(0, 20)}, {"kitti/poses.txt", kPose + kPose}},
     {"--kitti", "kitti"}, 1, {"000001.bin", "20 bytes", "16-byte"}},
    {"FewerPosesThanFrames", {{kBin0, kPoints}, {kBin1, kPoints}, {"kitti/poses.txt", kPose}},
     {"--kitti", "kitti"}, 1, {"poses.txt", "1 poses for 2 frames", "000001.bin has no pose"}},
    {"UnparsablePose", {{kBin0, kPoints}, {"kitti/poses.txt", kPose + "1 0 0 x 0 1 0 0 0 0 1 0\n"}},
     {"--kitti", "kitti"}, 1, {"poses.txt:2:", "cannot read pose entry from 'x'"}},
    {"LabelCountMismatch", {{kBin0, kPoints}, {"kitti/poses.txt", kPose}, {"kitti/labels/000000.label", std::string(12, '\0')}},
     {"--kitti", "kitti"}, 1, {"000000.label", "holds 3 labels for a frame of 2 points"}},
    {"UnparsableReading", {{"s.txt", kScans + "1.1 -1.5 0.5 0.0 5.0 3 1 abc 1\n"}},
     {"--laser-text", "s.txt"}, 1, {"s.txt:3:", "cannot read range reading from 'abc'"}},
    {"NegativeBeamCount", {{"s.txt", kScans + "1.1 -1.5 0.5 0.0 5.0 -1\n"}},
     {"--laser-text", "s.txt"}, 1, {"s.txt:3:", "invalid beam count"}},
    {"TruncatedFlaserLine", {{"log.clf", "FLASER 3 1 1 1 0 0 0 0 0 0 1.0 host 1.0\nFLASER 3 1.0 1.0 1.0 0.0 0.0\n"}},
     {"--carmen", "log.clf"}, 1, {"log.clf:2:", "missing laser theta"}},
    {"CarmenParamOutOfRange", {{"log.clf", "PARAM laser_front_laser_fov -5 nohost 0\n"}},
     {"--carmen", "log.clf"}, 1, {"log.clf:1:", "front laser field of view -5.000000 is out of range"}},
    {"TruncatedRobotLaserLine", {{"log.clf", "ROBOTLASER1 0 -1.57 3.14 0.0174 81.9 0.01 0 2 1.0 1.0 0\n"}},
     {"--carmen", "log.clf"}, 1, {"log.clf:1:", "missing laser x"}},
    {"StampBeyondAMessage", {{"s.txt", "1e12 -1.5 0.5 0.0 5.0 3 1 1 1\n"}},
     {"--laser-text", "s.txt"}, 1, {"s.txt:1:", "is not a time in seconds"}},
    {"GroundHeightNotANumber", {}, {"--ground-height", "low"}, 2, {"--ground-height: expected a number"}},
    {"TruncatedBinaryPcd", {{"c.pcd", kPcd + "DATA binary\n" + Floats({1, 2, 3, 4, 5})}}, {"--pcd", "c.pcd"}, 1,
     {"c.pcd", "data shorter than the header announces (20 of 120 bytes)"}},
    {"CompressedPcdOfTheWrongSize", {{"c.pcd", kPcd + "DATA binary_compressed\n" + std::string("\4\0\0\0\x18\0\0\0abcd", 12)}},
     {"--pcd", "c.pcd"}, 1, {"c.pcd", "binary_compressed data unpacks to 24 bytes, the header announces 120"}},
    {"MissingFile", {}, {"--laser-text", "absent.txt"}, 1, {"absent.txt", "cannot open file"}},
    {"GroundConfigMissingKey", {{"g.yaml", "sector_angle: 0.03\n"}}, {"--ground", "g.yaml"}, 1,
     {"g.yaml", "\"max_range\" is missing"}},
    {"DetectorConfigNotANumber", {{"d.yaml", "resolution: abc\nwidth: 20\noccupancy_threshold: 0\nlog_odds_obstacle: 0.2\n"
                                             "log_odds_occlusion: 0\nlog_odds_free_space: -0.4\n"}},
     {"--cloud-detector", "d.yaml"}, 1, {"d.yaml", "\"resolution\" is not a finite number"}},
    {"TwoInputs", {}, {"--kitti", "a", "--carmen", "b"}, 2, {"only one input can be replayed at a time"}},
};
// clang-format on

class BadInputTest : public ReplayTest, public testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, IsNamedInTheErrorAndExitsNonZero) {
  for (const auto& [path, content] : GetParam().files) {
    fs::create_directories((dir_ / path).parent_path());
    std::ofstream(dir_ / path, std::ios::binary) << content;
  }
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"--pictures", "0"});
  const ChildResult run = Run(args);
  EXPECT_EQ(run.exit_code, GetParam().exit_code) << run.output;
  for (const std::string& text : GetParam().expected) {
    EXPECT_NE(run.output.find(text), std::string::npos) << "'" << text << "' not in " << run.output;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, BadInputTest, testing::ValuesIn(kBadInputs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
