#include "sim/measure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/process.h"
#include "sim/runner.h"

namespace sim {
namespace {

long long status_field(const std::string& status, const char* key) {
  size_t pos = status.find(key);
  if (pos == std::string::npos) return -1;
  return atoll(status.c_str() + pos + strlen(key));
}

// Which start-up branch the log shows, "" while none.
std::string decision(const Device& device) {
  for (const std::string& line : device.log_lines()) {
    std::string text = log_text(line);
    if (text == "Entry boot charged") return "charging mode";
    if (text == " . . . . . . . . . . . . . . . . . . . . . . ") return "boot Android";
    if (text == "Shut down ...") return "power off";
    if (text == "Lumo boot only run once.") return "run once: exit";
  }
  return "";
}

void print_ms(const char* what, int64_t ms, const std::string& note) {
  if (ms < 0) {
    printf("  %-28s not seen%s\n", what, note.c_str());
  } else {
    printf("  %-28s %lld ms%s\n", what, static_cast<long long>(ms), note.c_str());
  }
}

}  // namespace

std::vector<ThreadSwitches> read_thread_switches(int pid) {
  std::vector<ThreadSwitches> out;
  std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  for (const std::string& tid : list_directory(task_dir)) {
    std::optional<std::string> status = read_file(task_dir + "/" + tid + "/status");
    if (!status) continue;
    ThreadSwitches t;
    t.tid = atoi(tid.c_str());
    t.name = trim_sysfs(read_file(task_dir + "/" + tid + "/comm").value_or("?"));
    t.switches = status_field(*status, "\nvoluntary_ctxt_switches:") +
                 status_field(*status, "\nnonvoluntary_ctxt_switches:");
    out.push_back(t);
  }
  return out;
}

int measure_session(const MeasureOptions& options) {
  DeviceOptions device_options;
  device_options.force = true;
  // A short screen time-out so that the dark interval comes quickly.
  device_options.properties.emplace_back("ro.lboot.light.timeout", "1000");
  std::string error;
  std::string root = absolute_path(options.root);
  if (!parse_device_options(options.device_args, &device_options, &error) ||
      !create_device(root, device_options, &error)) {
    fprintf(stderr, "lumo-sim measure: %s\n", error.c_str());
    return kRunError;
  }
  Device device(root);
  install_signal_handlers();
  alarm(static_cast<unsigned>(options.idle_s) + 90);
  ProgramProcess program;
  std::string program_path = options.program.empty() ? default_program() : options.program;
  int64_t t0 = monotonic_ms();
  if (!program.start(program_path, root, root + "/lumoboot.out", &error)) {
    fprintf(stderr, "lumo-sim measure: %s\n", error.c_str());
    return kRunError;
  }

  // Start-up: poll closely for the first pan to page 1 and the branch taken.
  int64_t first_frame = -1, decided = -1;
  std::string branch;
  while (monotonic_ms() - t0 < 15000 && (first_frame < 0 || decided < 0) && !program.ended()) {
    FrameInfo info;
    std::string ignored;
    if (first_frame < 0 && read_frame_info(device, &info, &ignored) && info.yoffset != 0) {
      first_frame = monotonic_ms() - t0;
    }
    if (decided < 0 && !(branch = decision(device)).empty()) decided = monotonic_ms() - t0;
    if (decided >= 0 && branch != "charging mode") break;
    sleep_ms(1);
    program.poll();
  }

  // Dark and quiet: wait for the time-out ramp to reach 0, let it settle.
  bool dark = false;
  for (int64_t until = monotonic_ms() + 15000; program.running() && monotonic_ms() < until;) {
    program.poll();
    if (path_exists(device.path("/sys/class/leds/backlight/color")) && device.backlight_level() == 0) {
      dark = true;
      break;
    }
    sleep_ms(20);
  }
  std::map<int, ThreadSwitches> before;
  std::vector<ThreadSwitches> after;
  double seconds = 0;
  if (dark) {
    sleep_ms(1000);
    for (const ThreadSwitches& t : read_thread_switches(program.pid())) before[t.tid] = t;
    int64_t s0 = monotonic_ms();
    sleep_ms(options.idle_s * 1000);
    after = read_thread_switches(program.pid());
    seconds = (monotonic_ms() - s0) / 1000.0;
  }
  std::string status = read_file("/proc/" + std::to_string(program.pid()) + "/status").value_or("");
  long long hwm = program.running() ? status_field(status, "\nVmHWM:") : -1;
  program.poll();
  bool ended = program.ended();
  std::string end_text = ended ? describe_status(program.status()) : "";
  program.stop();
  alarm(0);

  printf("lumo-sim measure: %s\n", program_path.c_str());
  print_ms("time to start-up decision:", decided, branch.empty() ? "" : " (" + branch + ")");
  print_ms("time to first frame:", first_frame, "");
  if (hwm >= 0) {
    printf("  %-28s %lld kB\n", "peak memory (VmHWM):", hwm);
  } else {
    printf("  %-28s not measured (lumoboot %s)\n", "peak memory (VmHWM):", end_text.c_str());
  }
  if (!dark) {
    printf("  %-28s not measured (the screen never went dark%s)\n", "wake-ups while dark:",
           ended ? ("; lumoboot " + end_text).c_str() : "");
    return 0;
  }
  long long total = 0;
  for (const ThreadSwitches& t : after) {
    auto it = before.find(t.tid);
    total += t.switches - (it == before.end() ? 0 : it->second.switches);
  }
  printf("  %-28s %.1f per minute (%lld context switches in %.1f s, %zu threads)\n",
         "wake-ups while dark:", seconds > 0 ? total * 60.0 / seconds : 0.0, total, seconds,
         after.size());
  for (const ThreadSwitches& t : after) {
    auto it = before.find(t.tid);
    long long delta = t.switches - (it == before.end() ? 0 : it->second.switches);
    printf("      thread %-7d %-16s %lld\n", t.tid, t.name.c_str(), delta);
  }
  return 0;
}

}  // namespace sim
