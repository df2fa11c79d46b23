// Pictures of one frame, as 8-bit BGR images with a title and a legend, all
// in the robot frame with forward pointing up and left pointing left:
// - the bird's-eye view of the point-cloud path (ground, non-ground, dynamic
//   points, clusters with their camera-frame extremes, the camera's region
//   of interest and the robot);
// - a detector's log-odds grid;
// - the laser's dynamic and static beams;
// - dynamic points against the moving truth, and the moving class's scores
//   over time.
#pragma once

#include <opencv2/core.hpp>

#include <string>

#include "config.h"
#include "frame.h"
#include "larkspur_perception_libs/occupancy_grid.h"
#include "moving_score.h"
#include "pipeline.h"

namespace larkspur {
namespace replay {

// `view_range`: metres shown on each side of the robot.
cv::Mat DrawBirdsEye(const Frame& frame, const CloudOutput& output, const ReplayConfig& config,
                     double view_range);

// `threshold`: the detector's occupancy threshold, marked on the colour bar.
// `roi`: whether to outline the cloud detector's camera region of interest.
cv::Mat DrawGrid(const kestrel::perception::OccupancyGridMap& grid, float threshold,
                 const std::string& title, const kestrel::perception::CameraInfo* roi_camera);

cv::Mat DrawLaser(const Frame& frame, const ScanOutput& output, double view_range);

// Two bird's-eye panels side by side for a frame with moving truth: the
// truth (moving, static, unlabelled points) and the detector's dynamic points
// scored against it (found, missed and falsely dynamic points in their own
// colours).
cv::Mat DrawMovingTruth(const Frame& frame, const CloudOutput& output, const ReplayConfig& config,
                        double view_range);

// Precision, recall and IoU of each frame with truth over the frame index,
// the unscored first frames shaded.
cv::Mat DrawScoresOverTime(const MovingTally& tally, const std::string& title);

// Writes a PNG; throws std::runtime_error naming the file on failure.
void SavePng(const std::string& path, const cv::Mat& image);

}  // namespace replay
}  // namespace larkspur
