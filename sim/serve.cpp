#include "sim/serve.h"

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#if LUMO_SIM_SERVE
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <httplib.h>
#pragma GCC diagnostic pop
#endif

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/log_times.h"
#include "sim/phone.h"
#include "sim/process.h"
#include "sim/reset.h"
#include "sim/runner.h"

#ifndef LUMO_SIM_SOURCE_DIR
#define LUMO_SIM_SOURCE_DIR "."
#endif

namespace sim {

bool parse_control_step(const std::string& line, Step* step, std::string* error) {
  if (line.find('\n') != std::string::npos || line.size() > 200) {
    *error = "a control is one step line of at most 200 characters";
    return false;
  }
  Scenario scenario;
  if (!parse_scenario(line, "control", &scenario, error)) return false;
  if (scenario.steps.size() != 1 || !scenario.device_args.empty()) {
    *error = "a control is exactly one step";
    return false;
  }
  StepKind kind = scenario.steps[0].kind;
  if (kind != StepKind::kKey && kind != StepKind::kPlug && kind != StepKind::kUnplug &&
      kind != StepKind::kBattery) {
    *error = std::string("not a control step (the page plays ") + kControlVerbs + ")";
    return false;
  }
  if (kind == StepKind::kKey && scenario.steps[0].extra > kMaxHoldMs) {
    *error = "a key is held at most " + std::to_string(kMaxHoldMs) + " ms";
    return false;
  }
  *step = scenario.steps[0];
  return true;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

#if LUMO_SIM_SERVE
namespace {

constexpr int kLoopMs = 20;         // the phone thread's pace
constexpr int kRefreshMs = 100;     // screen and state refresh: 10 times a second
constexpr size_t kLogLinesShown = 200;
constexpr int kMaxAlarmSeconds = 86400;
constexpr int kCommandTimeoutS = 30;  // longer than any control (holds, restarts) takes

struct Answer {
  int status = 200;
  std::string text = "done";
};

// The assets the page is made of: a fixed table, never a path from a request.
struct Asset {
  const char* url;
  const char* file;
  const char* type;
};
constexpr Asset kAssets[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
};

std::string asset_dir() { return std::string(LUMO_SIM_SOURCE_DIR) + "/sim/web"; }

// What the page shows, made by the phone thread, read by the HTTP threads.
struct Snapshot {
  std::mutex lock;
  uint64_t version = 0;  // of the screen picture
  std::string png;
  std::string state;     // JSON
};

class LiveServer {
 public:
  LiveServer(const ServeOptions& options, const std::string& program)
      : options_(options),
        phone_(options.root, program, join_path(options.out_dir, "lumoboot.out")),
        player_(&phone_, options.out_dir) {}

  int run();

 private:
  // HTTP side: hands `action` to the phone thread and waits for its answer.
  Answer call(std::function<Answer()> action);
  void routes(httplib::Server* server);
  void serve_screen(const httplib::Request& request, httplib::Response* response, bool download);

  // Phone side.
  Answer play_line(const std::string& line);
  Answer play(const Step& step);
  Answer restart();
  Answer alarm(int seconds);
  void refresh();
  std::string state_fields();
  std::string supply(const std::string& name, const std::string& attribute);
  std::string program_state();

  ServeOptions options_;
  HostPhone phone_;
  StepPlayer player_;
  LogTimes log_times_{monotonic_ms()};
  Snapshot snapshot_;
  Image last_screen_;

  std::mutex command_order_;  // one command at a time
  std::mutex command_lock_;
  std::condition_variable command_cv_;
  std::function<Answer()> pending_;
  uint64_t pending_seq_ = 0, command_seq_ = 0, answered_seq_ = 0;
  Answer answer_;
};

Answer LiveServer::call(std::function<Answer()> action) {
  std::lock_guard<std::mutex> order(command_order_);
  std::unique_lock<std::mutex> lock(command_lock_);
  pending_ = std::move(action);
  uint64_t seq = pending_seq_ = ++command_seq_;
  bool done = command_cv_.wait_for(lock, std::chrono::seconds(kCommandTimeoutS),
                                   [&] { return answered_seq_ >= seq; });
  if (!done) return {503, "the phone did not answer in time"};
  return answer_;
}

Answer LiveServer::play(const Step& step) {
  std::string message;
  int status = player_.play(step, &message);
  if (status == kRunPassed) return {};
  return {409, message.empty() ? "the step could not be done" : message};
}

Answer LiveServer::play_line(const std::string& line) {
  Scenario scenario;
  std::string error;
  if (!parse_scenario(line, "serve", &scenario, &error) || scenario.steps.size() != 1) return {500, error};
  return play(scenario.steps[0]);
}

Answer LiveServer::restart() {
  phone_.stop();
  std::string error;
  if (!reset_phone(&phone_, &error)) return {500, "reset: " + error};
  log_times_.restart(monotonic_ms());
  return play_line("start");
}

Answer LiveServer::alarm(int seconds) {
  // As a scenario arms it: the alarm time and a compensated clock, then a
  // start (the program reads the alarm when charging mode is set up).
  Answer set = play_line("set property persist.sys.poweralarm.time {now+" + std::to_string(seconds * 1000) + "}");
  if (set.status != 200) return set;
  set = play_line("set property sys.time.compensated true");
  if (set.status != 200) return set;
  return restart();
}

std::string LiveServer::supply(const std::string& name, const std::string& attribute) {
  return trim_sysfs(phone_.read_file("/sys/class/power_supply/" + name + "/" + attribute).value_or(""));
}

std::string LiveServer::program_state() {
  phone_.poll();
  if (!phone_.started()) return "not started";
  if (!phone_.ended()) return "running";
  std::string text = "ended: lumoboot " + describe_status(phone_.wait_status());
  for (const std::string& line : phone_.log_lines()) {
    if (log_text(line) == "Lumo boot only run once.") {
      text += " (it refused to run: the run-once mark is set; Restart clears it)";
      break;
    }
  }
  return text;
}

// The state's fields after the version: `{"version":N,` + this is the JSON.
std::string LiveServer::state_fields() {
  std::vector<std::string> lines = phone_.log_lines();
  log_times_.update(lines.size(), monotonic_ms());
  int64_t microvolts = 0;
  parse_int(supply("battery", "voltage_now"), &microvolts);
  char head[80];
  snprintf(head, sizeof(head), "\"led\":\"%08x\",\"backlight\":%d,", phone_.light_color("battery"),
           static_cast<int>(phone_.light_color("backlight") & 0xff));
  std::string json = head;
  json += "\"program\":" + json_string(program_state());
  json += ",\"screen\":" + json_string(trim_sysfs(phone_.read_file("/sys/power/state").value_or("")));
  json += ",\"alarm\":" + json_string(phone_.property("persist.sys.poweralarm.time").value_or(""));
  json += ",\"battery\":{\"level\":" + json_string(supply("battery", "capacity")) +
          ",\"status\":" + json_string(supply("battery", "status")) +
          ",\"health\":" + json_string(supply("battery", "health")) +
          ",\"voltage_mv\":" + std::to_string(microvolts / 1000) +
          ",\"charger_voltage_mv\":" + json_string(supply("battery", "charge_now")) +
          ",\"temp\":" + json_string(supply("battery", "temp")) +
          ",\"ac\":" + json_string(supply("ac", "online")) + ",\"usb\":" + json_string(supply("usb", "online")) + "}";
  json += ",\"log_count\":" + std::to_string(lines.size()) + ",\"log\":[";
  size_t from = lines.size() > kLogLinesShown ? lines.size() - kLogLinesShown : 0;
  for (size_t i = from; i < lines.size(); ++i) {
    json += (i > from ? ",{\"ms\":" : "{\"ms\":") + std::to_string(log_times_.at(i)) +
            ",\"line\":" + json_string(lines[i]) + "}";
  }
  return json + "]}";
}

void LiveServer::refresh() {
  // The read-outs first, then the picture: the picture beside them is never
  // older than they are, so a page that waits for a read-out and then looks
  // at the picture sees that moment or a later one.
  std::string fields = state_fields();
  Image shot;
  std::string error, png;
  bool changed = false;
  if (phone_.screenshot(&shot, &error) &&
      (shot.width != last_screen_.width || shot.height != last_screen_.height || shot.pixels != last_screen_.pixels)) {
    changed = encode_png(shot, &png, &error);
    if (changed) last_screen_ = std::move(shot);
  }
  // Only this thread writes the snapshot, so it may read the version unlocked.
  uint64_t version = snapshot_.version + (changed ? 1 : 0);
  std::string state = "{\"version\":" + std::to_string(version) + "," + fields;
  std::lock_guard<std::mutex> lock(snapshot_.lock);
  if (changed) snapshot_.png = std::move(png);
  snapshot_.version = version;
  snapshot_.state = std::move(state);
}

void LiveServer::serve_screen(const httplib::Request& request, httplib::Response* response, bool download) {
  std::lock_guard<std::mutex> lock(snapshot_.lock);
  if (snapshot_.png.empty()) {
    response->status = 503;
    response->set_content("no screen yet\n", "text/plain");
    return;
  }
  std::string etag = "\"" + std::to_string(snapshot_.version) + "\"";
  response->set_header("ETag", etag);
  response->set_header("Cache-Control", "no-cache");
  if (download) {
    response->set_header("Content-Disposition", "attachment; filename=\"lumo-sim-screen.png\"");
  } else if (request.get_header_value("If-None-Match") == etag) {
    response->status = 304;
    return;
  }
  response->set_content(snapshot_.png, "image/png");
}

void reply(httplib::Response* response, const Answer& answer) {
  response->status = answer.status;
  response->set_content(answer.text + "\n", "text/plain; charset=utf-8");
}

void LiveServer::routes(httplib::Server* server) {
  for (const Asset& asset : kAssets) {
    server->Get(asset.url, [asset](const httplib::Request&, httplib::Response& response) {
      std::optional<std::string> body = read_file(join_path(asset_dir(), asset.file));
      if (!body) return reply(&response, {500, std::string("asset missing: ") + asset.file});
      response.set_content(*body, asset.type);
    });
  }
  server->Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(snapshot_.lock);
    response.set_header("Cache-Control", "no-store");
    response.set_content(snapshot_.state, "application/json");
  });
  server->Get("/screen.png", [this](const httplib::Request& request, httplib::Response& response) {
    serve_screen(request, &response, false);
  });
  server->Get("/screenshot.png", [this](const httplib::Request& request, httplib::Response& response) {
    serve_screen(request, &response, true);
  });
  server->Post("/api/step", [this](const httplib::Request& request, httplib::Response& response) {
    Step step;
    std::string error;
    if (!parse_control_step(request.get_param_value("step"), &step, &error)) return reply(&response, {400, error});
    reply(&response, call([this, step] { return play(step); }));
  });
  server->Post("/api/alarm", [this](const httplib::Request& request, httplib::Response& response) {
    int seconds = 0;
    if (!parse_int(request.get_param_value("seconds"), &seconds) || seconds < 1 || seconds > kMaxAlarmSeconds) {
      return reply(&response, {400, "seconds must be a whole number from 1 to " + std::to_string(kMaxAlarmSeconds)});
    }
    reply(&response, call([this, seconds] { return alarm(seconds); }));
  });
  server->set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.body.empty()) {  // the library's own refusals, in words
      reply(&response, {response.status, "no such page or request: " + request.method + " " + request.path});
    }
  });
  server->Post("/api/restart", [this](const httplib::Request&, httplib::Response& response) {
    reply(&response, call([this] { return restart(); }));
  });
}

int LiveServer::run() {
  httplib::Server server;
  server.set_payload_max_length(4096);
  server.new_task_queue = [] { return new httplib::ThreadPool(4); };
  routes(&server);
  int port = options_.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                : (server.bind_to_port("127.0.0.1", options_.port) ? options_.port : -1);
  if (port <= 0) {
    fprintf(stderr, "lumo-sim serve: cannot listen on 127.0.0.1:%d\n", options_.port);
    return 2;
  }
  Answer started = options_.reset ? restart() : play_line("start");
  if (started.status != 200) {
    fprintf(stderr, "lumo-sim serve: %s\n", started.text.c_str());
    return 2;
  }
  refresh();
  std::thread http([&server] { server.listen_after_bind(); });
  printf("lumo-sim serve: the phone in %s is live at http://127.0.0.1:%d/ (Ctrl-C ends it and the program)\n",
         options_.root.c_str(), port);
  fflush(stdout);
  int64_t next_refresh = 0;
  for (;;) {  // until a signal ends lumo-sim (and the program with it)
    std::function<Answer()> action;
    uint64_t seq = 0;
    {
      std::lock_guard<std::mutex> lock(command_lock_);
      action = std::move(pending_);
      pending_ = nullptr;
      seq = pending_seq_;
    }
    if (action) {
      Answer answer = action();
      {
        std::lock_guard<std::mutex> lock(command_lock_);
        answer_ = answer;
        answered_seq_ = seq;
      }
      command_cv_.notify_all();
      next_refresh = 0;
    }
    player_.service();
    if (monotonic_ms() >= next_refresh) {
      refresh();
      next_refresh = monotonic_ms() + kRefreshMs;
    }
    sleep_ms(kLoopMs);
  }
}

}  // namespace

int serve_phone(const ServeOptions& options_in) {
  ServeOptions options = options_in;
  options.root = absolute_path(options.root);
  if (options.out_dir.empty()) options.out_dir = options.root + "-out";
  options.out_dir = absolute_path(options.out_dir);
  std::string error;
  UniqueFd lock;
  if (!lock_device_root(options.root, &lock, &error)) {
    fprintf(stderr, "lumo-sim serve: %s (make one with lumo-sim create)\n", error.c_str());
    return 2;
  }
  if (!make_dirs(options.out_dir)) {
    fprintf(stderr, "lumo-sim serve: cannot create %s\n", options.out_dir.c_str());
    return 2;
  }
  install_signal_handlers();
  LiveServer server(options, options.program.empty() ? default_program() : absolute_path(options.program));
  return server.run();
}

#else  // a build without cpp-httplib (a cross build)

int serve_phone(const ServeOptions&) {
  fprintf(stderr, "lumo-sim serve: this lumo-sim was built without cpp-httplib (libcpp-httplib-dev)\n");
  return 2;
}

#endif

}  // namespace sim
