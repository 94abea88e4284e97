// When each line of the program's log appeared. The log itself carries no
// times, so whoever watches it (the runner between steps, the live server on
// its loop) notes the moment a line was first seen, in milliseconds from a
// start of its choosing. Single-threaded: one owner updates and reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class LogTimes {
 public:
  explicit LogTimes(int64_t start_ms = 0) : start_ms_(start_ms) {}

  // Notes `now_ms` for every line past those seen before. A log that got
  // shorter (cleared by a reset) starts the count again.
  void update(size_t line_count, int64_t now_ms);
  // Milliseconds from the start to the first sight of line `i`; -1 when unseen.
  int64_t at(size_t i) const { return i < times_.size() ? times_[i] : -1; }
  size_t size() const { return times_.size(); }
  // Lines already there before the watch began: their times stay unknown.
  void skip(size_t line_count) { times_.assign(line_count, -1); }
  void restart(int64_t start_ms) {
    start_ms_ = start_ms;
    times_.clear();
  }

 private:
  int64_t start_ms_;
  std::vector<int64_t> times_;
};

// "+SSSS.mmm " before each line (blanks where the time is unknown), one
// line each, newline-ended: the timed copy of a log.
std::string timed_log_text(const std::vector<std::string>& lines, const LogTimes& times);

}  // namespace sim
