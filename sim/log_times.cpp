#include "sim/log_times.h"

#include <cstdio>

namespace sim {

void LogTimes::update(size_t line_count, int64_t now_ms) {
  if (line_count < times_.size()) times_.clear();
  while (times_.size() < line_count) times_.push_back(now_ms - start_ms_);
}

std::string timed_log_text(const std::vector<std::string>& lines, const LogTimes& times) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    char stamp[32];
    int64_t ms = times.at(i);
    if (ms < 0) {
      snprintf(stamp, sizeof(stamp), "%10s ", "");
    } else {
      snprintf(stamp, sizeof(stamp), "+%5lld.%03lld ", static_cast<long long>(ms / 1000),
               static_cast<long long>(ms % 1000));
    }
    out += stamp + lines[i] + "\n";
  }
  return out;
}

}  // namespace sim
