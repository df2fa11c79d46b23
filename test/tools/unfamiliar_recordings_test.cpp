// The replay tool on recordings its defaults were not tuned for: a LiDAR
// cloud whose ground lies at z = 0 with no-return points in it, frames
// without poses, and inputs crafted to trip each plausibility warning once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using larkspur::support::ChildResult;

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kSummaryWarnings = "Warnings (the results above are as computed";

class UnfamiliarRecordingTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string folder = (fs::temp_directory_path() / "larkspur_unfamiliar_XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    dir_ = folder;
  }
  void TearDown() override { fs::remove_all(dir_); }

  ChildResult Run(std::vector<std::string> args) const {
    args.insert(args.end(), {"--pictures", "0"});
    return larkspur::support::RunChild(LARKSPUR_REPLAY_EXE, args, {}, dir_.string());
  }
  void Write(const std::string& name, const std::string& content) const {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }
  std::string Read(const std::string& name) const {
    std::ifstream file(dir_ / name);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  fs::path dir_;
};

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string Floats(const std::vector<float>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

// An organised 64 x 1024 frame of a LiDAR 1.8 m above a flat road, given in
// a base frame on the road (the ground at z = 0): 64 rings from -22.5 to
// -0.35 degrees, a wall 15 m ahead, and cells without a return stored as
// (0, 0, 0), as many drivers do, or NaN. Returns the number of those cells.
std::size_t WriteRoadFrame(const fs::path& path) {
  constexpr int kRings = 64, kColumns = 1024;
  std::vector<float> xyz;
  std::size_t no_return = 0;
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  for (int ring = 0; ring < kRings; ++ring) {
    const double elevation = (-22.5 + ring * 0.35) * kPi / 180.0;
    for (int column = 0; column < kColumns; ++column) {
      const double azimuth = 2.0 * kPi * column / kColumns;
      const double c = std::cos(azimuth), s = std::sin(azimuth);
      double range = 1.8 / std::tan(-elevation);
      if (c > 0.0 && range * c > 15.0) range = 15.0 / c;  // the wall
      if (range > 60.0 || column % 7 == 3) {
        const float none = ring % 2 == 0 ? 0.0f : std::numeric_limits<float>::quiet_NaN();
        xyz.insert(xyz.end(), {none, none, none});
        ++no_return;
        continue;
      }
      const double height = 1.8 + range * std::tan(elevation);
      xyz.insert(xyz.end(), {static_cast<float>(range * c), static_cast<float>(range * s),
                             static_cast<float>(height) + noise(random)});
    }
  }
  std::ofstream file(path, std::ios::binary);
  file << "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH " << kColumns
       << "\nHEIGHT " << kRings << "\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " << kRings * kColumns
       << "\nDATA binary\n"
       << Floats(xyz);
  return no_return;
}

// The estimate printed in "ground height: <z> m, estimated ...".
double EstimatedGroundHeight(const std::string& output) {
  const auto at = output.find("ground height: ");
  if (at == std::string::npos) return std::nan("");
  return std::stod(output.substr(at + 15));
}

TEST_F(UnfamiliarRecordingTest, CloudWithTheGroundAtZeroNeedsNoConfiguration) {
  const std::size_t no_return = WriteRoadFrame(dir_ / "road.pcd");
  const ChildResult run = Run({"--pcd", "road.pcd"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NEAR(EstimatedGroundHeight(run.output), 0.0, 0.05) << run.output;
  EXPECT_NE(run.output.find("Points dropped as read (all-zero or non-finite: no return): " +
                            std::to_string(no_return) + " in 1 of 1 frames"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find(kSummaryWarnings), std::string::npos) << run.output;
}

TEST_F(UnfamiliarRecordingTest, GroundSetAtTheWrongHeightIsWarnedAbout) {
  WriteRoadFrame(dir_ / "road.pcd");
  const ChildResult wrong = Run({"--pcd", "road.pcd", "--ground-height", "-1.2"});
  ASSERT_EQ(wrong.exit_code, 0) << wrong.output;
  EXPECT_EQ(wrong.output.find("ground height: "), std::string::npos) << wrong.output;
  EXPECT_NE(wrong.output.find(kSummaryWarnings), std::string::npos) << wrong.output;
  EXPECT_EQ(Occurrences(wrong.output, "larkspur_replay: warning: ground removal:"), 1u);
  EXPECT_NE(wrong.output.find("--ground-height METRES"), std::string::npos);
  EXPECT_NE(Read("out/summary.txt").find("ground removal: in 1 of 1 frames"), std::string::npos);

  const ChildResult right = Run({"--pcd", "road.pcd", "--ground-height", "0"});
  ASSERT_EQ(right.exit_code, 0) << right.output;
  EXPECT_EQ(right.output.find("ground height: "), std::string::npos) << right.output;
  EXPECT_EQ(right.output.find("warning:"), std::string::npos) << right.output;
}

TEST_F(UnfamiliarRecordingTest, SensorSetIsTakenAsItIs) {
  WriteRoadFrame(dir_ / "road.pcd");
  const ChildResult run = Run({"--pcd", "road.pcd", "--sensor", "os128", "--ground-height", "0"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output.find("ground height: "), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("warning:"), std::string::npos) << run.output;
  const ChildResult unknown = Run({"--pcd", "road.pcd", "--sensor", "hdl65"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_NE(unknown.output.find("--sensor hdl65: unknown sensor"), std::string::npos);
  EXPECT_NE(unknown.output.find("vlp16, hdl32, hdl64, os128"), std::string::npos);
}

// Five points: two all-zero and one NaN, labelled, among two real ones. With
// so few points no ground line is fitted: every labelled road point, the
// dropped ones included, is a missed ground point. No poses: identity.
TEST_F(UnfamiliarRecordingTest, DroppedPointsAreScoredAsNonGround) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Write("kitti/velodyne/000000.bin",
        Floats({5, 1, -1.7f, 0, 0, 0, 0, 0, 8, -2, -0.5f, 0, 0, 0, 0, 0, nan, 1, 1, 0}));
  const std::vector<std::uint32_t> labels = {40, 40, 10, 48, 10};
  Write("kitti/labels/000000.label", std::string(reinterpret_cast<const char*>(labels.data()),
                                                 labels.size() * sizeof(std::uint32_t)));
  const ChildResult run = Run({"--kitti", "kitti"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("every frame is taken at the identity pose"), std::string::npos);
  EXPECT_NE(run.output.find("no return): 3 in 1 of 1 frames"), std::string::npos) << run.output;
  // metric,precision,recall,tp,fp,fn,frames
  EXPECT_NE(Read("out/accuracy.csv").find("ground,,0.0000,0,0,3,1"), std::string::npos)
      << Read("out/accuracy.csv");
}

// A CARMEN log stating 1 degree per beam for 721-beam scans: 720 degrees.
TEST_F(UnfamiliarRecordingTest, ScansSpanningMoreThanATurnAreWarnedAbout) {
  std::string log = "PARAM laser_front_laser_resolution 1.0 nohost 0\n";
  for (int k = 0; k < 3; ++k) {
    log += "FLASER 721";
    for (int i = 0; i < 721; ++i) log += " 3.0";
    log += " 0 0 0 0 0 0 " + std::to_string(100 + k) + " nohost 0\n";
  }
  Write("log.clf", log);
  const ChildResult run = Run({"--carmen", "log.clf"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(Occurrences(run.output, "larkspur_replay: warning: "), 1u) << run.output;
  EXPECT_NE(run.output.find("laser scans: 3 scans span more than one turn (scan 0: 720 degrees"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(kSummaryWarnings), std::string::npos);
}

// A laser at rest whose readings change at random from scan to scan: nothing
// it sees stays put, as when a beam layout is read wrongly.
TEST_F(UnfamiliarRecordingTest, MostlyDynamicScansInARowAreWarnedAbout) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> range(1.0, 9.0);
  std::ostringstream text;
  for (int k = 0; k < 70; ++k) {
    text << 0.1 * k << " -1.5708 0.0174533 0.05 30.0 181";
    for (int i = 0; i < 181; ++i) text << ' ' << range(random);
    text << '\n';
  }
  Write("scans.txt", text.str());
  const ChildResult run = Run({"--laser-text", "scans.txt"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(Occurrences(run.output, "larkspur_replay: warning: "), 1u) << run.output;
  EXPECT_NE(run.output.find("laser detector: more than a third of the beams were dynamic in 50 "
                            "scans in a row"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(kSummaryWarnings), std::string::npos);
}

}  // namespace
