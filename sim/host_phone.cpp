#include "sim/phone.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include "sim/files.h"

namespace sim {
namespace {

input_event native_event(const InputEvent& e) {
  input_event ev;
  memset(&ev, 0, sizeof(ev));
  int64_t now = wall_ms();
  ev.input_event_sec = static_cast<decltype(ev.input_event_sec)>(now / 1000);
  ev.input_event_usec = static_cast<decltype(ev.input_event_usec)>((now % 1000) * 1000);
  ev.type = static_cast<uint16_t>(e.type);
  ev.code = static_cast<uint16_t>(e.code);
  ev.value = e.value;
  return ev;
}

}  // namespace

HostPhone::HostPhone(const std::string& root, std::string program, std::string output_file)
    : device_(root), program_path_(std::move(program)), output_file_(std::move(output_file)) {
  output_base_ = sim::read_file(output_file_).value_or("").size();
}

bool HostPhone::start(const std::string& mode, std::string* error) {
  // A socket left by an earlier run would look like a live one.
  unlink(device_.path("/dev/socket/uevent").c_str());
  RootMode root_mode = mode == "without-root"    ? RootMode::kUnset
                       : mode == "relative-root" ? RootMode::kRelative
                                                 : RootMode::kAbsolute;
  return program_.start(program_path_, device_.root(), output_file_, error, root_mode);
}

int HostPhone::write_input(const std::vector<InputEvent>& events) {
  // Opening for writing without blocking works once the program holds the
  // node open for reading (ENXIO before).
  UniqueFd fd(open(device_.path("/dev/input/event0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return errno;
  std::vector<input_event> records;
  for (const InputEvent& e : events) records.push_back(native_event(e));
  size_t bytes = records.size() * sizeof(input_event);
  ssize_t n = write(fd.get(), records.data(), bytes);
  if (n == static_cast<ssize_t>(bytes)) return 0;
  return n < 0 ? errno : EIO;
}

std::optional<std::string> HostPhone::read_file(const std::string& device_path) {
  return sim::read_file(device_.path(device_path));
}

int HostPhone::remove_file(const std::string& device_path) {
  return device_.remove(device_path) ? 0 : errno;
}

std::string HostPhone::output() {
  std::string text = sim::read_file(output_file_).value_or("");
  return text.size() <= output_base_ ? "" : text.substr(output_base_);
}

void HostPhone::collect(const std::string& out_dir) {
  copy_file(device_.path("/dev/log/main"), join_path(out_dir, "lumoboot.log"));
}

bool HostPhone::process_figures(ProcessFigures* out) {
  if (!program_.running()) return false;
  std::string proc = "/proc/" + std::to_string(program_.pid());
  std::optional<std::string> status = sim::read_file(proc + "/status");
  if (!status) return false;
  auto field = [&](const char* key) -> long long {
    size_t at = status->find(key);
    return at == std::string::npos ? -1 : atoll(status->c_str() + at + strlen(key));
  };
  out->rss_kb = field("\nVmRSS:");
  out->anon_kb = field("\nRssAnon:");
  out->threads = static_cast<int>(field("\nThreads:"));
  out->fds = static_cast<int>(list_directory(proc + "/fd").size());
  return out->rss_kb >= 0 && out->threads > 0;
}

}  // namespace sim
