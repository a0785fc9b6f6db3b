// The samples kept for one channel: each new reading is a point, the last 24 h or 2000 points,
// whichever is smaller.
#pragma once

#include <cstddef>
#include <deque>

namespace web {

struct HistoryPoint {
  double time_ms;
  double value;
};

class HistoryRing {
 public:
  static constexpr std::size_t kMaxPoints = 2000;
  static constexpr double kMaxAgeMs = 24.0 * 3600 * 1000;

  // Adds a point; drops the oldest beyond kMaxPoints and those older than kMaxAgeMs before now.
  void add(HistoryPoint point, double now_ms) {
    points_.push_back(point);
    while (points_.size() > kMaxPoints) points_.pop_front();
    expire(now_ms);
  }
  void expire(double now_ms) {
    while (!points_.empty() && points_.front().time_ms < now_ms - kMaxAgeMs) points_.pop_front();
  }
  const std::deque<HistoryPoint> &points() const { return points_; }

 private:
  std::deque<HistoryPoint> points_;
};

}  // namespace web
