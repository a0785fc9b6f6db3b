// The samples kept for one channel: each new reading is a point, the last 24 h or 2000 points,
// whichever is smaller. A point is 8 bytes (whole seconds, as readings carry them, and a float):
// 100 sensors of ten channels at most hold 16 MB, two channels a minute 2.3 MB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>

namespace web {

struct HistoryPoint {
  std::uint32_t time;  // Unix seconds
  float value;
};
static_assert(sizeof(HistoryPoint) == 8);

class HistoryRing {
 public:
  static constexpr std::size_t kMaxPoints = 2000;
  static constexpr std::uint32_t kMaxAge = 24 * 3600;

  // Adds a point; drops the oldest beyond kMaxPoints and those older than kMaxAge before now.
  void add(HistoryPoint point, std::uint32_t now) {
    points_.push_back(point);
    while (points_.size() > kMaxPoints) points_.pop_front();
    expire(now);
  }
  // A point from the past (a logged record) where its time puts it; one at a time already kept
  // is not added again.
  void insert(HistoryPoint point, std::uint32_t now) {
    auto at = points_.end();
    while (at != points_.begin() && std::prev(at)->time > point.time) --at;
    if (at != points_.begin() && std::prev(at)->time == point.time) return;
    points_.insert(at, point);
    while (points_.size() > kMaxPoints) points_.pop_front();
    expire(now);
  }
  void expire(std::uint32_t now) {
    while (!points_.empty() && points_.front().time + kMaxAge < now) points_.pop_front();
  }
  const std::deque<HistoryPoint> &points() const { return points_; }

 private:
  std::deque<HistoryPoint> points_;
};

}  // namespace web
