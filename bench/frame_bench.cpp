// Composes real charging frames against a framebuffer in a temporary device
// root and sets each figure beside memset / memcpy of the same bytes,
// measured in the same run (counters "x_memset" / "x_memcpy": our time
// divided by the plain memory operation's). Times are the thread's CPU time,
// so that other processes on a busy machine do not skew the ratios.
//
// The device root lies on tmpfs when /dev/shm exists: a mapped framebuffer is
// memory, not a disk file with write-back. The host's pan is a file rewrite
// (temporary file + rename), far dearer than the kernel's ioctl; BM_Present
// reports it ("pan_us") and the copy alone ("x_memcpy_copy") beside the total,
// BM_Frame the frame without it ("x_memcpy_nopan").
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/paths.h"
#include "ui/draw.h"
#include "ui/graphics.h"
#include "ui/image.h"

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void write_file(const std::string& path, const std::string& content) {
  platform::make_parent_dirs(path.c_str());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A device root with a framebuffer of the given size, the graphics open and
// the pictures of one charging frame loaded.
class Screen {
 public:
  Screen(unsigned w, unsigned h, unsigned bpp) : w_(w), h_(h), bpp_(bpp) {
    char shm[] = "/dev/shm/lumo-bench-XXXXXX";
    char tmp[] = "/tmp/lumo-bench-XXXXXX";
    const char* made = mkdtemp(shm);
    dir_ = made != nullptr ? made : mkdtemp(tmp);
    platform::set_device_root(dir_.c_str());
    write_file(dir_ + "/dev/graphics/fb0", "");
    write_file(dir_ + "/dev/graphics/fb0.info", "xres=" + std::to_string(w) + "\nyres=" + std::to_string(h) +
                                                    "\nbits_per_pixel=" + std::to_string(bpp) + "\nyoffset=0\n");
    write_file(dir_ + "/dev/tty0", "");
    ok_ = graphics_open() == 0;
    frame_ = load("boot_charger_13.png");
    charging_ = load("boot_charger_charging.png");
    warning_ = load("boot_charger_temp_high_en_us.png");
  }
  ~Screen() {
    graphics_close();
    for (Surface* s : {frame_, charging_, warning_}) free(s);
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
  bool ok() const { return ok_ && frame_ != nullptr && charging_ != nullptr && warning_ != nullptr; }
  bool same(unsigned w, unsigned h, unsigned bpp) const { return w == w_ && h == h_ && bpp == bpp_; }
  size_t surface_bytes() const { return size_t{w_} * h_ * 2; }
  size_t page_bytes() const { return size_t{w_} * h_ * bpp_ / 8; }

  void compose() const {
    clear_and_draw_centered(frame_, 0xFF000000);
    draw_image(charging_, PLACE_ABOVE_MIDDLE);
    draw_image(warning_, PLACE_BELOW_MIDDLE);
  }

 private:
  Surface* load(const char* name) {
    std::ifstream in(std::string(LUMO_RES_DIR) + "/" + name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write_file(dir_ + "/system/lumo/res/" + name, bytes);
    Surface* s = nullptr;
    load_png_surface((std::string("/system/lumo/res/") + name).c_str(), &s);
    return s;
  }

  unsigned w_, h_, bpp_;
  std::string dir_;
  bool ok_ = false;
  Surface* frame_ = nullptr;
  Surface* charging_ = nullptr;
  Surface* warning_ = nullptr;
};

// One screen at a time: the graphics state is process-wide.
Screen* screen_for(unsigned w, unsigned h, unsigned bpp) {
  static std::unique_ptr<Screen> screen;
  if (screen == nullptr || !screen->same(w, h, bpp)) {
    screen.reset();
    screen = std::make_unique<Screen>(w, h, bpp);
  }
  return screen.get();
}

// Seconds per call of `op`, best of a few rounds (the reference figures).
template <typename Op>
double seconds_per_call(Op op) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    constexpr int kCalls = 20;
    double start = cpu_now();
    for (int i = 0; i < kCalls; ++i) op();
    double s = (cpu_now() - start) / kCalls;
    if (s < best) best = s;
  }
  return best;
}

double memset_seconds(size_t bytes) {
  std::vector<uint8_t> dst(bytes, 1);
  return seconds_per_call([&] {
    memset(dst.data(), 0, bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  });
}

double memcpy_seconds(size_t bytes) {
  std::vector<uint8_t> src(bytes, 1), dst(bytes, 2);
  return seconds_per_call([&] {
    memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  });
}

// Runs `op` timed by the benchmark and by our own clock, then reports the
// ratio against `reference` seconds.
template <typename Op>
void run(benchmark::State& state, const char* counter, double reference, Op op) {
  double total = 0;
  for (auto _ : state) {
    double start = cpu_now();
    op();
    total += cpu_now() - start;
    benchmark::ClobberMemory();
  }
  double per_call = total / static_cast<double>(state.iterations());
  state.counters[counter] = per_call / reference;
  state.counters["ref_us"] = reference * 1e6;
}

unsigned arg(const benchmark::State& state, int i) { return static_cast<unsigned>(state.range(i)); }

void BM_Clear(benchmark::State& state) {
  Screen* screen = screen_for(arg(state, 0), arg(state, 1), arg(state, 2));
  if (!screen->ok()) return state.SkipWithError("screen set-up failed");
  double reference = memset_seconds(screen->surface_bytes());
  run(state, "x_memset", reference, [] { clear_screen(0xFF000000); });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * screen->surface_bytes()));
}

void BM_Present(benchmark::State& state) {
  Screen* screen = screen_for(arg(state, 0), arg(state, 1), arg(state, 2));
  if (!screen->ok()) return state.SkipWithError("screen set-up failed");
  double reference = memcpy_seconds(screen->page_bytes());
  double pan = seconds_per_call([] { page_show(gr_front_page); });
  run(state, "x_memcpy", reference, [] { screen_present(); });
  state.counters["pan_us"] = pan * 1e6;
  state.counters["x_memcpy_copy"] = (state.counters["x_memcpy"] * reference - pan) / reference;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * screen->page_bytes()));
}

// The whole frame, and the same without the host's pan (on a phone the pan
// is one ioctl): "x_memcpy_nopan", "frame_nopan_us".
void BM_Frame(benchmark::State& state) {
  Screen* screen = screen_for(arg(state, 0), arg(state, 1), arg(state, 2));
  if (!screen->ok()) return state.SkipWithError("screen set-up failed");
  double reference = memcpy_seconds(screen->page_bytes());
  double pan = seconds_per_call([] { page_show(gr_front_page); });
  run(state, "x_memcpy", reference, [screen] {
    screen->compose();
    screen_present();
  });
  double frame = state.counters["x_memcpy"] * reference;
  state.counters["pan_us"] = pan * 1e6;
  state.counters["frame_nopan_us"] = (frame - pan) * 1e6;
  state.counters["x_memcpy_nopan"] = (frame - pan) / reference;
}

void BM_Compose(benchmark::State& state) {
  Screen* screen = screen_for(arg(state, 0), arg(state, 1), arg(state, 2));
  if (!screen->ok()) return state.SkipWithError("screen set-up failed");
  double reference = memcpy_seconds(screen->surface_bytes());
  run(state, "x_memcpy", reference, [screen] { screen->compose(); });
}

void screens(benchmark::internal::Benchmark* b) {
  b->ArgNames({"w", "h", "bpp"})->Args({480, 800, 16})->Args({1080, 1920, 32})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Clear)->Apply(screens);
BENCHMARK(BM_Present)->Apply(screens);
BENCHMARK(BM_Compose)->Apply(screens);
BENCHMARK(BM_Frame)->Apply(screens);

}  // namespace

BENCHMARK_MAIN();
