// Logs one line and prints one container through the installed headers.
#include <iostream>
#include <vector>

#include "larkspur_perception_libs/logger.h"
#include "larkspur_perception_libs/to_string.h"
#include "sensor_msgs/msg/laser_scan.hpp"

int main() {
  sensor_msgs::msg::LaserScan scan;
  scan.ranges = {1.5f, 2.0f};
  LARKSPUR_LOG_INFO("consumer has {} ranges", scan.ranges.size());
  std::cout << std::to_string(std::vector<int>{1, -2}) << '\n';
  return 0;
}
