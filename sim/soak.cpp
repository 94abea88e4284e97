#include "sim/soak.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <linux/input.h>
#include <random>
#include <unistd.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/phone.h"
#include "sim/process.h"
#include "sim/runner.h"
#include "sim/soak_model.h"
#include "sim/soak_screen.h"

namespace sim {
namespace {

constexpr int kPollMs = 5;
constexpr int kStartWaitMs = 15000;
constexpr int kDeviceWaitMs = 5000;    // for room in the uevent socket, the input node
constexpr int kRecordWaitMs = 5000;    // for the program to take a battery change
constexpr int kLedWaitMs = 2000;       // for the main thread to set the LED for it
constexpr int kDarkSettleMs = 500;     // backlight 0 this long: the screen-off was handled
constexpr int kLitSettleMs = 450;      // lit this long: frames were drawn with the record
constexpr int kScreenTries = 3;        // a frame caught while being presented is looked at again
constexpr int kProgressEveryMs = 60000;
constexpr const char* kLanguage = "zh_cn";  // the soak phone sets no language

struct Counts {
  long events = 0, battery = 0, chargers = 0, keys = 0, floods = 0, foreign = 0, dropped = 0;
  long checks = 0, screens = 0, dark_waits = 0;
};

class Soak {
 public:
  Soak(const SoakOptions& options, Phone* phone) : options_(options), phone_(*phone), stream_(options.seed) {}
  int run();

 private:
  bool fail(const std::string& what);
  bool alive();
  bool pause(int ms);
  bool start();
  bool play(const SoakEvent& e);
  bool send_supply_uevent(const std::string& supply);
  bool press(int key, int hold_ms);
  bool write_input(const std::vector<InputEvent>& events);
  bool flood(const SoakEvent& e);
  bool took(const SoakEvent& e);
  bool wait_record();
  bool wait_dark();
  bool check(bool away);
  bool check_led();
  bool check_figures();
  bool check_screen(bool away);
  // 1: the screen showed what the record calls for; 0: it was not lit long
  // enough to tell; -1: failed (reported).
  int look_at_screen(int64_t deadline);
  int backlight() { return static_cast<int>(phone_.light_color("backlight") & 0xff); }
  std::string last_summary();
  // Pictures the program decoded so far (its "Malloc N for resouce surface." lines).
  void decoded_pictures(int* count, long long* bytes);
  void progress(bool final_line);
  double elapsed_s() const { return (monotonic_ms() - start_ms_) / 1000.0; }

  SoakOptions options_;
  Phone& phone_;
  SoakStream stream_;
  SoakScreen screen_;
  ScreenMemory memory_;
  SoakRecord taken_;  // the record the events left
  Counts counts_;
  int64_t start_ms_ = monotonic_ms();
  int64_t away_since_ms_ = -1;
  int64_t next_progress_ms_ = 0;
  ProcessFigures first_, baseline_, last_;
  long long warmup_decoded_bytes_ = -1;
  int over_rss_ = 0, over_fds_ = 0, over_threads_ = 0;
  std::deque<std::string> recent_;
  std::string failure_;
};

bool Soak::fail(const std::string& what) {
  if (failure_.empty()) failure_ = what;
  return false;
}

bool Soak::alive() {
  phone_.poll();
  if (!phone_.ended()) return true;
  std::vector<std::string> reboots = phone_.reboot_lines();
  return fail("lumoboot " + describe_status(phone_.wait_status()) +
              (reboots.empty() ? "" : " after the reboot line \"" + reboots.back() + "\""));
}

bool Soak::pause(int ms) {
  int64_t until = monotonic_ms() + ms;
  do {
    if (!alive()) return false;
    sleep_ms(static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(kPollMs, until - monotonic_ms()))));
  } while (monotonic_ms() < until);
  return alive();
}

// The program runs, has reached charging mode, lit its screen and opened its
// uevent socket and input node.
bool Soak::start() {
  std::string error;
  if (!phone_.start("", &error)) return fail("cannot start lumoboot: " + error);
  int64_t until = monotonic_ms() + kStartWaitMs;
  for (;;) {
    if (!alive()) return false;
    bool charging = false;
    for (const std::string& line : phone_.log_lines()) charging = charging || log_text(line) == "Entry boot charged";
    if (charging && backlight() == kSoakBrightness && phone_.write_input({}) != ENXIO &&
        phone_.send_uevent(uevent_datagram({"add@/devices/virtual/soak/ready"})) == 0) {
      break;
    }
    if (monotonic_ms() > until) return fail("lumoboot did not reach a lit charging screen within 15 s");
    sleep_ms(20);
  }
  FrameInfo info;
  Image page;
  if (!phone_.visible_page(&page, &info, &error) ||
      !screen_.load(default_res_dir(), kLanguage, info.xres, info.yres, &error)) {
    return fail("cannot prepare the screen checks: " + error);
  }
  return true;
}

bool Soak::send_supply_uevent(const std::string& supply) {
  std::string datagram = uevent_datagram(supply_uevent_texts(supply));
  int err = 0;
  for (int64_t until = monotonic_ms() + kDeviceWaitMs; (err = phone_.send_uevent(datagram)) != 0;) {
    if (monotonic_ms() > until) break;
    if (!pause(2)) return false;
  }
  if (err == 0) return true;
  return fail("the program's uevent socket did not take a " + supply + " uevent within 5 s (" + strerror(err) + ")");
}

bool Soak::write_input(const std::vector<InputEvent>& events) {
  int err = 0;
  for (int64_t until = monotonic_ms() + kDeviceWaitMs; (err = phone_.write_input(events)) != 0;) {
    if (monotonic_ms() > until || (err != ENXIO && err != EAGAIN)) break;
    if (!pause(2)) return false;
  }
  if (err == 0) return true;
  return fail(std::string("cannot write input events: ") + strerror(err));
}

bool Soak::press(int key, int hold_ms) {
  return write_input({{EV_KEY, key, 1}, {EV_SYN, SYN_REPORT, 0}}) && pause(hold_ms) &&
         write_input({{EV_KEY, key, 0}, {EV_SYN, SYN_REPORT, 0}});
}

// Datagrams of devices that are no power supply, some longer than the
// program's receive buffer; a full socket drops them, as the kernel would.
bool Soak::flood(const SoakEvent& e) {
  static const char* const kActions[] = {"add", "remove", "change", "move", "bind", "online"};
  static const char* const kPaths[] = {"/devices/virtual/misc/soak", "/devices/platform/soc/usb%d/1-1",
                                       "/devices/virtual/net/wlan%d", "/devices/system/cpu/cpu%d",
                                       "/devices/virtual/input/input%d", "/devices/platform/%d.i2c/leds"};
  std::mt19937 rng(e.flood_seed);
  for (int i = 0; i < e.flood; ++i) {
    char path[96];
    snprintf(path, sizeof(path), kPaths[rng() % 6], static_cast<int>(rng() % 100));
    std::vector<std::string> texts = {std::string(kActions[rng() % 6]) + "@" + path, "SEQNUM=" + std::to_string(rng())};
    std::string value(rng() % 3 == 0 ? 1200 + rng() % 800 : rng() % 64, static_cast<char>('a' + rng() % 26));
    texts.push_back("SOAK=" + value);
    std::string datagram = uevent_datagram(texts);
    int err = phone_.send_uevent(datagram);
    for (int retry = 0; retry < 3 && (err == EAGAIN || err == EWOULDBLOCK); ++retry) {
      sleep_ms(1);
      err = phone_.send_uevent(datagram);
    }
    ++(err == 0 ? counts_.foreign : counts_.dropped);
    if (err != 0 && err != EAGAIN && err != EWOULDBLOCK) {
      return fail(std::string("cannot send a foreign uevent: ") + strerror(err));
    }
  }
  return alive();
}

// The event changed the record: remember it, and when the phone lost or got
// back its charger.
bool Soak::took(const SoakEvent& e) {
  remember_record(&memory_, taken_, e.record, monotonic_ms());
  bool was_present = charger_present(taken_), present = charger_present(e.record);
  if (was_present && !present) away_since_ms_ = monotonic_ms();
  if (present) away_since_ms_ = -1;
  taken_ = e.record;
  return true;
}

bool Soak::play(const SoakEvent& e) {
  if (!pause(e.gap_ms)) return false;
  if (e.wait_dark && !wait_dark()) return false;
  switch (e.kind) {
    case SoakKind::kBattery:
      ++counts_.battery;
      if (!phone_.write_battery(e.fields)) return fail("cannot write the battery files");
      return send_supply_uevent("battery") && took(e);
    case SoakKind::kPlug:
    case SoakKind::kUnplug:
      ++counts_.chargers;
      if (!phone_.set_charger(e.supply, e.kind == SoakKind::kPlug)) return fail("cannot write the charger files");
      return send_supply_uevent(e.supply) && took(e);
    case SoakKind::kKey:
      ++counts_.keys;
      // The power key boots at once when the program's voltage allows: it
      // must hold the low voltage the stream set before the key goes down.
      if (e.key == 116 && charger_present(taken_) && !wait_record()) return false;
      return press(e.key, e.hold_ms);
    case SoakKind::kFlood: ++counts_.floods; return flood(e);
    case SoakKind::kCheck: ++counts_.checks; return check(e.away);
  }
  return true;
}

std::string Soak::last_summary() {
  std::vector<std::string> lines = phone_.log_lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    std::string text = log_text(*it);
    if (text.rfind(" ac=", 0) == 0) return text;
  }
  return "";
}

void Soak::decoded_pictures(int* count, long long* bytes) {
  *count = 0;
  *bytes = 0;
  for (const std::string& line : phone_.log_lines()) {
    std::string text = log_text(line);
    long long n = 0;
    int end = 0;
    if (sscanf(text.c_str(), "Malloc %lld for resouce surface.%n", &n, &end) == 1 &&
        static_cast<size_t>(end) == text.size()) {
      ++*count, *bytes += n;
    }
  }
}

bool Soak::wait_record() {
  std::string wanted = summary_text(taken_), seen;
  for (int64_t until = monotonic_ms() + kRecordWaitMs; (seen = last_summary()) != wanted;) {
    if (monotonic_ms() > until) {
      return fail("the program's battery record does not follow the events after 5 s:\n    logged   \"" + seen +
                  "\"\n    expected \"" + wanted + "\"");
    }
    if (!pause(10)) return false;
  }
  return true;
}

// With a calm record and a charger nothing keeps the screen lit: it goes
// dark within the light time-out (or a warning's shorter lit time) and the
// ramp, and stays dark.
bool Soak::wait_dark() {
  ++counts_.dark_waits;
  int64_t until = monotonic_ms() + kSoakLightTimeoutMs + 4000;
  int64_t dark_since = -1;
  while (dark_since < 0 || monotonic_ms() - dark_since < kDarkSettleMs) {
    if (!pause(10)) return false;
    if (backlight() != 0) {
      dark_since = -1;
    } else if (dark_since < 0) {
      dark_since = monotonic_ms();
    }
    if (monotonic_ms() > until) {
      return fail("the screen stayed lit " + std::to_string(kSoakLightTimeoutMs + 4000) +
                  " ms with a calm battery record, a charger and no key (light time-out " +
                  std::to_string(kSoakLightTimeoutMs) + " ms)");
    }
  }
  return true;
}

// The battery thread logs the record before the main thread sets the LED
// for it: the LED may follow a little later.
bool Soak::check_led() {
  uint32_t led = 0, wanted = expected_led(taken_);
  for (int64_t until = monotonic_ms() + kLedWaitMs;;) {
    led = phone_.light_color("battery");
    if (wanted == 0 ? (led & 0xffffffu) == 0 : led == wanted) return true;
    if (monotonic_ms() > until) break;
    if (!pause(10)) return false;
  }
  char text[160];
  snprintf(text, sizeof(text), "the battery LED is %08x, the record calls for %08x (status %s, ac %d, usb %d)", led,
           wanted, taken_.status.c_str(), taken_.ac ? 1 : 0, taken_.usb ? 1 : 0);
  return fail(text);
}

// Figures of the warm-up set the limits; afterwards a figure above its
// limit in kSoakGrowthChecks checks in a row is growth. Pictures are decoded
// once, the first time they are drawn, and kept: memory may grow by what the
// log says was decoded after the warm-up, and never more pictures than the
// program has are decoded.
bool Soak::check_figures() {
  ProcessFigures f;
  if (!phone_.process_figures(&f)) return alive();
  int pictures = 0;
  long long decoded = 0;
  decoded_pictures(&pictures, &decoded);
  if (pictures > kSoakMaxPictures) {
    return fail("the program decoded " + std::to_string(pictures) + " pictures; it has " +
                std::to_string(kSoakMaxPictures) + " (a picture decoded again is memory lost)");
  }
  if (first_.rss_kb < 0) first_ = f;
  last_ = f;
  if (monotonic_ms() - start_ms_ < options_.warmup_s * 1000LL) {
    baseline_.rss_kb = std::max(baseline_.rss_kb, f.rss_kb);
    baseline_.fds = std::max(baseline_.fds, f.fds);
    baseline_.threads = std::max(baseline_.threads, f.threads);
    warmup_decoded_bytes_ = decoded;
    return true;
  }
  if (warmup_decoded_bytes_ < 0) warmup_decoded_bytes_ = decoded;
  long long pictures_kb = (decoded - warmup_decoded_bytes_ + 1023) / 1024;
  over_rss_ = f.rss_kb > baseline_.rss_kb + kSoakRssSlackKb + pictures_kb ? over_rss_ + 1 : 0;
  over_fds_ = f.fds > baseline_.fds + kSoakFdSlack ? over_fds_ + 1 : 0;
  over_threads_ = f.threads > baseline_.threads + kSoakThreadSlack ? over_threads_ + 1 : 0;
  if (std::max({over_rss_, over_fds_, over_threads_}) < kSoakGrowthChecks) return true;
  char text[300];
  snprintf(text, sizeof(text),
           "the program grew after the warm-up: VmRSS %lld kB (warm-up peak %lld, slack %lld, pictures decoded "
           "since %lld), descriptors %d (%d, slack %d), threads %d (%d, slack %d)",
           f.rss_kb, baseline_.rss_kb, kSoakRssSlackKb, pictures_kb, f.fds, baseline_.fds, kSoakFdSlack, f.threads,
           baseline_.threads, kSoakThreadSlack);
  return fail(text);
}

int Soak::look_at_screen(int64_t deadline) {
  int64_t lit_since = -1;
  while (lit_since < 0 || monotonic_ms() - lit_since < kLitSettleMs) {
    if (monotonic_ms() > deadline) return 0;
    if (!pause(10)) return -1;
    if (backlight() != kSoakBrightness) {
      lit_since = -1;
    } else if (lit_since < 0) {
      lit_since = monotonic_ms();
    }
  }
  ScreenExpectation wanted = expected_screen(taken_, memory_, monotonic_ms());
  std::string detail, error;
  for (int attempt = 0; attempt < kScreenTries; ++attempt) {
    if (attempt > 0 && !pause(250)) return -1;
    Image page;
    FrameInfo info;
    if (!phone_.visible_page(&page, &info, &error)) return fail("cannot read the screen: " + error), -1;
    if (backlight() != kSoakBrightness) return 0;  // went dark while we looked
    bool drawn = std::any_of(page.pixels.begin(), page.pixels.end(), [](uint32_t p) { return (p & 0xffffffu) != 0; });
    if (!drawn) {
      detail = "the backlight is on and the screen is black";
      continue;
    }
    MainView main;
    LineView line;
    bool known = screen_.recognise(page, &main, &line, &detail);
    if (known && wanted.mains.count(main) != 0 && wanted.lines.count(line) != 0) return 1;
  }
  std::string mains, lines;
  for (const MainView& m : wanted.mains) mains += (mains.empty() ? "" : " | ") + describe(m);
  for (const LineView& l : wanted.lines) lines += (lines.empty() ? "" : " | ") + describe(l);
  fail("the charging screen does not match the battery record:\n    screen   " + detail + "\n    expected " + mains +
       "; " + lines + "\n    record   \"" + summary_text(taken_) + "\"");
  return -1;
}

bool Soak::check_screen(bool away) {
  // Without a charger the screen was lit for the unplugged screen time:
  // look before the soak gives the charger back.
  int64_t deadline = away ? away_since_ms_ + kSoakAwayCheckLimitMs : monotonic_ms() + 3000;
  int seen = look_at_screen(deadline);
  if (seen < 0) return false;
  if (seen > 0) {
    ++counts_.screens;
    remember_drawn(&memory_, taken_);
  }
  return true;
}

bool Soak::check(bool away) {
  if (!wait_record() || !check_led()) return false;
  if (!phone_.reboot_lines().empty()) return fail("the program asked for \"" + phone_.reboot_lines().back() + "\"");
  if (phone_.property("sys.boot.android") == "1") return fail("the program handed the boot to Android");
  std::string report = sanitizer_report(phone_.output());
  if (!report.empty()) return fail("lumoboot reported \"" + report + "\"");
  if (!away && !check_figures()) return false;
  return check_screen(away);
}

void Soak::progress(bool final_line) {
  if (options_.quiet && !final_line) return;
  printf("[%7.1fs] %ld events (%ld battery, %ld charger, %ld keys, %ld floods: %ld foreign uevents, %ld dropped), "
         "%ld checks (%ld of the screen), %ld waits for a dark screen, VmRSS %lld kB (anonymous %lld kB), "
         "%d descriptors, %d threads\n",
         elapsed_s(), counts_.events, counts_.battery, counts_.chargers, counts_.keys, counts_.floods,
         counts_.foreign, counts_.dropped, counts_.checks, counts_.screens, counts_.dark_waits, last_.rss_kb,
         last_.anon_kb, last_.fds, last_.threads);
  fflush(stdout);
}

int Soak::run() {
  printf("lumo-sim soak: seed %llu, %d minutes, warm-up %d s, phone %s\n",
         static_cast<unsigned long long>(options_.seed), options_.minutes, options_.warmup_s, options_.root.c_str());
  fflush(stdout);
  int64_t end_ms = start_ms_ + options_.minutes * 60000LL;
  next_progress_ms_ = start_ms_ + kProgressEveryMs;
  bool ok = start() && check_figures();
  while (ok && monotonic_ms() < end_ms) {
    SoakEvent e = stream_.next();
    ++counts_.events;
    char stamp[400];
    snprintf(stamp, sizeof(stamp), "[%7.1fs] #%ld ", elapsed_s(), counts_.events);
    recent_.push_back(stamp + e.describe());
    if (recent_.size() > 12) recent_.pop_front();
    ok = play(e);
    if (monotonic_ms() >= next_progress_ms_) {
      progress(false);
      next_progress_ms_ += kProgressEveryMs;
    }
  }
  // The run ends with a check of everything, the screen included if lit.
  ok = ok && check(!charger_present(taken_));
  if (!ok) {
    fprintf(stderr, "lumo-sim soak: FAILED at %.1f s (seed %llu, event #%ld): %s\n  last events:\n", elapsed_s(),
            static_cast<unsigned long long>(options_.seed), counts_.events, failure_.c_str());
    for (const std::string& line : recent_) fprintf(stderr, "    %s\n", line.c_str());
    std::string error;
    Image shot;
    std::string shot_path = join_path(options_.out_dir, "failure.png");
    if (phone_.screenshot(&shot, &error) && write_png(shot_path, shot, &error)) {
      fprintf(stderr, "  screenshot %s\n", shot_path.c_str());
    }
  }
  progress(true);
  printf("lumo-sim soak: %s; seed %llu; figures at the start VmRSS %lld kB (anonymous %lld), %d descriptors, "
         "%d threads; warm-up peak %lld kB, %d, %d; at the end %lld kB (anonymous %lld), %d, %d\n",
         ok ? "every invariant held" : "FAILED", static_cast<unsigned long long>(options_.seed), first_.rss_kb,
         first_.anon_kb, first_.fds, first_.threads, baseline_.rss_kb, baseline_.fds, baseline_.threads, last_.rss_kb,
         last_.anon_kb, last_.fds, last_.threads);
  phone_.stop();
  phone_.collect(options_.out_dir);
  printf("lumo-sim soak: log and program output in %s\n", options_.out_dir.c_str());
  return ok ? 0 : 1;
}

// The soak phone: a default phone with the settings the stream relies on.
bool make_soak_phone(const std::string& root, std::string* error) {
  DeviceOptions o;
  o.force = true;
  o.properties = {{"ro.lboot.vol.poweron", std::to_string(kSoakPowerOnVoltage)},
                  {"ro.lboot.light.timeout", std::to_string(kSoakLightTimeoutMs)},
                  {"ro.lboot.uncharge.light.tmr", std::to_string(kSoakUnchargeTimerMs)},
                  {"ro.lboot.brightness", std::to_string(kSoakBrightness)}};
  return create_device(root, o, error);
}

}  // namespace

int run_soak(const SoakOptions& options_in) {
  SoakOptions options = options_in;
  options.root = absolute_path(options.root);
  if (options.root == "/") {
    fprintf(stderr, "lumo-sim: refusing to use / as a device root\n");
    return kRunError;
  }
  if (options.out_dir.empty()) options.out_dir = options.root + "-out";
  options.out_dir = absolute_path(options.out_dir);
  std::string error;
  if (!make_soak_phone(options.root, &error)) {
    fprintf(stderr, "lumo-sim soak: %s\n", error.c_str());
    return kRunError;
  }
  if (!make_dirs(options.out_dir)) {
    fprintf(stderr, "lumo-sim soak: cannot create %s\n", options.out_dir.c_str());
    return kRunError;
  }
  std::string output = join_path(options.out_dir, "lumoboot.out");
  unlink(output.c_str());
  install_signal_handlers();
  alarm(static_cast<unsigned>(options.minutes) * 60 + 120);  // backstop for a stuck wait
  int status;
  {
    HostPhone phone(options.root, options.program.empty() ? default_program() : absolute_path(options.program), output);
    Soak soak(options, &phone);
    status = soak.run();
  }
  alarm(0);
  return status;
}

}  // namespace sim
