// Yaw of a pose message's orientation, through tf2.
#pragma once

#include "geometry_msgs/msg/quaternion.hpp"

#ifdef LARKSPUR_HAVE_ROS2_TF2
#include <tf2/utils.h>
#include <tf2_geometry_msgs/tf2_geometry_msgs.hpp>
#else
#include <tf2/LinearMath/Quaternion.h>
#include <tf2/utils.h>
#endif

namespace larkspur {

// Radians, counter-clockwise about z. The quaternion is not normalised first.
inline double QuaternionYaw(const geometry_msgs::msg::Quaternion& orientation) {
#ifdef LARKSPUR_HAVE_ROS2_TF2
  return tf2::getYaw(orientation);
#else
  return tf2::impl::getYaw(
      tf2::Quaternion(orientation.x, orientation.y, orientation.z, orientation.w));
#endif
}

}  // namespace larkspur
