// Progress bar on standard error, drawn only when standard error is a
// terminal, so that logs and pipes receive nothing but the real output.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace larkspur {
namespace replay {

class ProgressBar {
 public:
  ProgressBar(std::size_t total, bool enabled);
  ~ProgressBar();

  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Step();
  // Ends the bar's line; further steps draw nothing.
  void Finish();

  static bool StderrIsTerminal();

 private:
  void Draw();

  std::size_t total_;
  std::size_t done_ = 0;
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace replay
}  // namespace larkspur
