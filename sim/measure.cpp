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

namespace {

// What one session showed; -1 for what was not seen or measured.
struct Figures {
  int64_t decided_ms = -1;
  int64_t first_frame_ms = -1;
  std::string branch;
  long long hwm_kb = -1;
  bool dark = false;
  double idle_s = 0;
  std::map<int, ThreadSwitches> before;
  std::vector<ThreadSwitches> after;
  std::string end_text;  // how the program ended, "" while it runs
};

// Builds the phone with a short screen time-out, so that the dark interval comes quickly.
bool make_phone(const MeasureOptions& options, const std::string& root, std::string* error) {
  DeviceOptions device_options;
  device_options.force = true;
  device_options.properties.emplace_back("ro.lboot.light.timeout", "1000");
  return parse_device_options(options.device_args, &device_options, error) &&
         create_device(root, device_options, error);
}

// Start-up: polls closely for the first pan to page 1 and the branch taken.
void watch_start(const Device& device, ProgramProcess* program, int64_t t0, Figures* f) {
  while (monotonic_ms() - t0 < 15000 && (f->first_frame_ms < 0 || f->decided_ms < 0) && !program->ended()) {
    FrameInfo info;
    std::string ignored;
    if (f->first_frame_ms < 0 && read_frame_info(device, &info, &ignored) && info.yoffset != 0) {
      f->first_frame_ms = monotonic_ms() - t0;
    }
    if (f->decided_ms < 0 && !(f->branch = decision(device)).empty()) f->decided_ms = monotonic_ms() - t0;
    if (f->decided_ms >= 0 && f->branch != "charging mode") break;
    sleep_ms(1);
    program->poll();
  }
}

// Dark and quiet: waits for the time-out ramp to reach 0, lets it settle,
// then counts the context switches of every thread over the idle interval.
void watch_idle(const Device& device, ProgramProcess* program, int idle_s, Figures* f) {
  for (int64_t until = monotonic_ms() + 15000; program->running() && monotonic_ms() < until && !f->dark;) {
    program->poll();
    f->dark = path_exists(device.path("/sys/class/leds/backlight/color")) && device.backlight_level() == 0;
    if (!f->dark) sleep_ms(20);
  }
  if (!f->dark) return;
  sleep_ms(1000);
  for (const ThreadSwitches& t : read_thread_switches(program->pid())) f->before[t.tid] = t;
  int64_t s0 = monotonic_ms();
  sleep_ms(idle_s * 1000);
  f->after = read_thread_switches(program->pid());
  f->idle_s = (monotonic_ms() - s0) / 1000.0;
}

void print_wakeups(const Figures& f) {
  if (!f.dark) {
    printf("  %-28s not measured (the screen never went dark%s)\n", "wake-ups while dark:",
           f.end_text.empty() ? "" : ("; lumoboot " + f.end_text).c_str());
    return;
  }
  long long total = 0;
  std::vector<long long> deltas;
  for (const ThreadSwitches& t : f.after) {
    auto it = f.before.find(t.tid);
    deltas.push_back(t.switches - (it == f.before.end() ? 0 : it->second.switches));
    total += deltas.back();
  }
  printf("  %-28s %.1f per minute (%lld context switches in %.1f s, %zu threads)\n", "wake-ups while dark:",
         f.idle_s > 0 ? total * 60.0 / f.idle_s : 0.0, total, f.idle_s, f.after.size());
  for (size_t i = 0; i < f.after.size(); ++i) {
    printf("      thread %-7d %-16s %lld\n", f.after[i].tid, f.after[i].name.c_str(), deltas[i]);
  }
}

void print_figures(const std::string& program_path, const Figures& f) {
  printf("lumo-sim measure: %s\n", program_path.c_str());
  print_ms("time to start-up decision:", f.decided_ms, f.branch.empty() ? "" : " (" + f.branch + ")");
  print_ms("time to first frame:", f.first_frame_ms, "");
  if (f.hwm_kb >= 0) {
    printf("  %-28s %lld kB\n", "peak memory (VmHWM):", f.hwm_kb);
  } else {
    printf("  %-28s not measured (lumoboot %s)\n", "peak memory (VmHWM):", f.end_text.c_str());
  }
  print_wakeups(f);
}

}  // namespace

int measure_session(const MeasureOptions& options) {
  std::string error;
  std::string root = absolute_path(options.root);
  std::string program_path = options.program.empty() ? default_program() : options.program;
  if (!make_phone(options, root, &error)) {
    fprintf(stderr, "lumo-sim measure: %s\n", error.c_str());
    return kRunError;
  }
  Device device(root);
  install_signal_handlers();
  alarm(static_cast<unsigned>(options.idle_s) + 90);
  ProgramProcess program;
  int64_t t0 = monotonic_ms();
  if (!program.start(program_path, root, root + "/lumoboot.out", &error)) {
    fprintf(stderr, "lumo-sim measure: %s\n", error.c_str());
    return kRunError;
  }
  Figures f;
  watch_start(device, &program, t0, &f);
  watch_idle(device, &program, options.idle_s, &f);
  std::string status = read_file("/proc/" + std::to_string(program.pid()) + "/status").value_or("");
  f.hwm_kb = program.running() ? status_field(status, "\nVmHWM:") : -1;
  program.poll();
  if (program.ended()) f.end_text = describe_status(program.status());
  program.stop();
  alarm(0);
  print_figures(program_path, f);
  return 0;
}

}  // namespace sim
