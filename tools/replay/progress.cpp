#include "progress.h"

#include <unistd.h>

#include <string>

namespace larkspur {
namespace replay {

ProgressBar::ProgressBar(std::size_t total, bool enabled)
    : total_(total),
      enabled_(enabled && total > 0),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  if (enabled_) Draw();
}

ProgressBar::~ProgressBar() { Finish(); }

bool ProgressBar::StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void ProgressBar::Step() {
  ++done_;
  if (!enabled_) return;
  // Redrawing more often than ten times a second only costs time.
  const auto now = std::chrono::steady_clock::now();
  if (done_ < total_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  Draw();
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  enabled_ = false;
}

void ProgressBar::Draw() {
  constexpr std::size_t kWidth = 40;
  const std::size_t filled = total_ == 0 ? kWidth : done_ * kWidth / total_;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0.0 ? static_cast<double>(done_) / seconds : 0.0;
  const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '.');
  std::fprintf(stderr, "\r[%s] %zu/%zu frames  %.1f frames/s ", bar.c_str(), done_, total_, rate);
  std::fflush(stderr);
}

}  // namespace replay
}  // namespace larkspur
