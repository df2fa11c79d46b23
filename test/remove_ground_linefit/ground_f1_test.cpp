// The HDL-64E parameter set of config/kitti_hdl64 against the SemanticKITTI
// labels of the shared recordings: pooled and per-sequence F1 of the ground
// output of the three-cloud groundRemove must stay at or above the floors
// below. Skipped when the recordings are absent.
#include <gtest/gtest.h>

#include <string>

#include "ground_scoring.h"
#include "kitti_camera.h"

namespace {

// Floors a little below what the set scores on x86-64 (pooled 98.22,
// kitti_hdl64 99.28, 03 96.75, 04 98.67, 08 98.40): other CPUs may round the
// fitted segments' ends differently, which moves a few hundred of the millions of
// scored points; a set that loses more than that has regressed. The pooled
// floor still lies above the 98.12 of the set before.
struct Floor {
  const char* sequence;
  double f1;
};
constexpr Floor kSequenceFloors[] = {
    {"kitti_hdl64", 99.1}, {"03", 96.55}, {"04", 98.45}, {"08", 98.2}};
constexpr double kPooledFloor = 98.15;

TEST(GroundF1Test, Hdl64SetReachesItsFloorOnTheLabelledFrames) {
  const auto frames = larkspur::support::SharedLabelledFrames();
  if (!frames) GTEST_SKIP() << "labelled KITTI frames not in the shared data folder";

  const larkspur::support::GroundScore score =
      larkspur::support::ScoreGroundRemoval(larkspur::support::Hdl64GroundParams(), *frames);
  EXPECT_GE(score.pooled.F1(), kPooledFloor)
      << "precision " << score.pooled.Precision() << " recall " << score.pooled.Recall();
  ASSERT_EQ(score.sequences.size(), std::size(kSequenceFloors));
  for (std::size_t k = 0; k < score.sequences.size(); ++k) {
    const auto& [sequence, tally] = score.sequences[k];
    EXPECT_EQ(sequence, kSequenceFloors[k].sequence);
    EXPECT_GE(tally.F1(), kSequenceFloors[k].f1) << sequence;
  }
}

}  // namespace
