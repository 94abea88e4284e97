// The host alarm device (the fired-type mask, dev/alarm.armed, refused
// requests; its waits and wake-ups are checked through the alarm module in
// tests/alarm), the host screen (fb0.info geometry, pages, pans) and the
// device root's safety (roots that resolve to "/", ".." in device paths,
// directories made only below the root).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/alarm.h"
#include "platform/display.h"
#include "platform/host/host.h"
#include "platform/paths.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;

struct TimeValue {
  int32_t seconds, nanoseconds;
};

// The wall-clock time `ms` from now.
TimeValue in(int64_t ms) {
  int64_t t = sim::wall_ms() + ms;
  return {static_cast<int32_t>(t / 1000), static_cast<int32_t>(t % 1000 * 1000000)};
}

std::string line(int type, TimeValue t) {
  return std::to_string(type) + " " + std::to_string(t.seconds) + " " + std::to_string(t.nanoseconds) + "\n";
}

class AlarmDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.write("/dev/alarm", "");
    ASSERT_GE(fd_ = platform::alarm_open(), 0);
  }
  void TearDown() override { platform::alarm_close(fd_); }
  int set(int type, TimeValue t) { return platform::alarm_set(fd_, type, t.seconds, t.nanoseconds); }
  int clear(int type) { return platform::alarm_clear(fd_, type); }
  std::string armed() const { return root_.read("/dev/alarm.armed"); }
  DeviceRoot root_;
  int fd_ = -1;
};

TEST_F(AlarmDriverTest, AlarmsThatFiredWhileNobodyWaitedAreCollectedTogether) {
  ASSERT_EQ(set(4, in(30)), 0);
  ASSERT_EQ(set(0, in(-1000)), 0);
  const TimeValue far = in(600000);
  ASSERT_EQ(set(2, far), 0);
  // The driver fires on its own and updates the list without a waiter.
  EXPECT_TRUE(wait_until([&] { return armed() == line(2, far); }));
  EXPECT_EQ(platform::alarm_wait(fd_), 0x11);
  ASSERT_EQ(clear(2), 0);
  EXPECT_EQ(armed(), "");
}

TEST_F(AlarmDriverTest, MalformedRequestsAreRefused) {
  const TimeValue ok = in(600000);
  const struct { const char* name; int handle, type; int64_t seconds; int32_t nanos; int error; } cases[] = {
      {"type 5", fd_, 5, ok.seconds, 0, EINVAL},
      {"negative type", fd_, -1, ok.seconds, 0, EINVAL},
      {"a second of nanoseconds", fd_, 0, ok.seconds, 1000000000, EINVAL},
      {"past 2038", fd_, 0, int64_t{1} << 31, 0, EOVERFLOW},
      {"not an alarm handle", fd_ + 100, 0, ok.seconds, 0, EBADF}};
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(platform::alarm_set(c.handle, c.type, c.seconds, c.nanos), -1) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
  }
  EXPECT_EQ(platform::alarm_clear(fd_, 7), -1);
  EXPECT_EQ(platform::alarm_wait(-1), -1);
  EXPECT_FALSE(root_.exists("/dev/alarm.armed"));  // nothing was armed or cleared
}

class ScreenTest : public testing::Test {
 protected:
  // Opens fb0 with `info` as its screen information file (nullptr: none) and
  // `bytes` of pixel memory.
  int open(const char* info, size_t bytes = 0) {
    info ? root_.write("/dev/graphics/fb0.info", info) : root_.remove("/dev/graphics/fb0.info");
    root_.write("/dev/graphics/fb0", std::string(bytes, '\0'));
    display_.reset(platform::display_open());
    EXPECT_TRUE(display_);
    return display_.get();
  }
  platform::DisplayInfo query(const char* text) {
    platform::DisplayInfo d;
    EXPECT_EQ(platform::display_query(display_.get(), &d), 0) << text;
    return d;
  }
  std::string info() const { return root_.read("/dev/graphics/fb0.info"); }
  DeviceRoot root_;
  platform::DisplayHandle display_;
};

std::string screen_text(unsigned x, unsigned y, unsigned bpp, const std::string& more = "") {
  return "xres=" + std::to_string(x) + "\nyres=" + std::to_string(y) + "\nbits_per_pixel=" + std::to_string(bpp) +
         "\n" + more;
}

// Geometry and pages: two by default, what yres_virtual announces, and no
// more than a non-empty pixel file holds (one page and less than one are
// checked through the screen's users in tests/ui/graphics_test.cpp).
TEST_F(ScreenTest, GeometryFollowsTheInfoFileAndTheMemory) {
  const struct { unsigned x, y, bpp; const char* more; size_t bytes; unsigned pages; } cases[] = {
      {480, 800, 16, "yoffset=800\n", 0, 2},
      {1080, 1920, 32, "", 0, 2},
      {7, 1, 32, "", 0, 2},
      {4, 3, 16, "yres_virtual=7\n", 0, 2},       // whole pages only
      {4, 3, 32, "", 4 * 3 * 4 * 2 - 1, 1},       // one byte short of two
      {4, 3, 16, "", 1000, 2},                    // more than announced: two
  };
  for (const auto& c : cases) {
    const std::string text = screen_text(c.x, c.y, c.bpp, c.more);
    open(text.c_str(), c.bytes);
    platform::DisplayInfo d = query(text.c_str());
    const unsigned line = c.x * c.bpp / 8;
    EXPECT_EQ((std::vector<size_t>{d.width, d.height, d.bits_per_pixel, d.line_length, d.pages}),
              (std::vector<size_t>{c.x, c.y, c.bpp, line, c.pages})) << text << c.bytes;
    EXPECT_GE(d.memory_size, size_t{c.pages} * line * c.y) << text;
    const auto layout = c.bpp == 16 ? std::vector<unsigned>{11, 5, 0} : std::vector<unsigned>{0, 8, 16};
    EXPECT_EQ((std::vector<unsigned>{d.red_offset, d.green_offset, d.blue_offset}), layout) << text;
  }
}

// Showing a page rewrites only the yoffset line (adding it when missing, and
// past the first 4 KiB of a long file), never shows rows past the memory,
// leaves no temporary file behind, and the file still parses. One too long
// to read whole is refused rather than cut.
TEST_F(ScreenTest, ShowingAPageRewritesOnlyYoffset) {
  const std::string padding = "comment=" + std::string(5000, 'x') + "\n";
  const struct { std::string before; unsigned page; std::string after; } cases[] = {
      {"xres=4\nyres=3\nbits_per_pixel=32", 1, "xres=4\nyres=3\nbits_per_pixel=32\nyoffset=3\n"},
      {screen_text(4, 3, 16, padding + "yoffset=0\n"), 1, screen_text(4, 3, 16, padding + "yoffset=3\n")},
      {"xres=4\nyres=3\nyres_virtual=3\nbits_per_pixel=16\nyoffset=0\n", 0,
       "xres=4\nyres=3\nyres_virtual=3\nbits_per_pixel=16\nyoffset=0\n"},
  };
  for (const auto& c : cases) {
    int display = open(c.before.c_str());
    const unsigned pages = query(c.before.c_str()).pages;
    ASSERT_EQ(platform::display_show_page(display, c.page), 0) << c.before;
    EXPECT_EQ(platform::display_show_page(display, pages), -1) << c.before;
    EXPECT_EQ(info(), c.after);
    EXPECT_EQ(query(c.after.c_str()).pages, pages);
  }
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(root_.path("/dev/graphics"))) {
    files.push_back(entry.path().filename());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"fb0", "fb0.info"}));  // no temporary file left
  EXPECT_EQ(platform::display_refresh(display_.get()), 0);
  EXPECT_EQ(info(), "xres=4\nyres=3\nyres_virtual=3\nbits_per_pixel=16\nyoffset=0\n");

  const std::string huge = screen_text(4, 3, 16, "comment=" + std::string(9000, 'x') + "\nyoffset=0\n");
  int display = open(huge.c_str());
  platform::DisplayInfo d;
  EXPECT_EQ(platform::display_query(display, &d), -1);
  EXPECT_EQ(platform::display_show_page(display, 0), -1);
  EXPECT_EQ(info(), huge);
}

TEST_F(ScreenTest, BadOrMissingInfoFailsEveryRequest) {
  const char* bad[] = {
      nullptr,                                            // no file
      "yres=3\nbits_per_pixel=16\n",                      // no xres
      "xres=4\nyres=3\n",                                 // no depth
      "xres=4\nyres=3\nbits_per_pixel=24\n",              // unsupported depth
      "xres=0\nyres=3\nbits_per_pixel=16\n",              // empty screen
      "xres=4x\nyres=3\nbits_per_pixel=16\n",             // not a number
      "xres=4\nyres=3\nbits_per_pixel=16\nyoffset=-1\n",  // negative
      "xres=99999999999\nyres=3\nbits_per_pixel=16\n",    // absurd size
      "xres=4\nyres=3\nbits_per_pixel=16\nyres_virtual=99999\n",  // absurd memory
  };
  for (const char* text : bad) {
    int display = open(text);
    platform::DisplayInfo d;
    errno = 0;
    EXPECT_EQ((std::vector{platform::display_query(display, &d), platform::display_show_page(display, 0),
                           platform::display_refresh(display)}),
              (std::vector{-1, -1, -1})) << (text ? text : "(none)");
    EXPECT_EQ(errno, EINVAL) << (text ? text : "(none)");
  }
}

// Roots that resolve to "/" are refused (the spellings of "/" are checked on
// the program in tests/core/entry_test.cpp); real directories are taken
// resolved, and the last good root stays.
TEST(HostRoot, RootsThatResolveToSlashAreRefused) {
  DeviceRoot root;
  symlink("/", (root.dir() + "/slash").c_str());
  char out[4096];
  for (const std::string& dir : {std::string("/"), std::string("///./"), root.dir() + "/slash", root.dir() + "/missing",
                                 std::string()}) {
    EXPECT_FALSE(platform::resolve_device_root(dir.c_str(), out, sizeof(out))) << dir;
    EXPECT_FALSE(platform::set_device_root(dir.c_str())) << dir;
  }
  EXPECT_EQ(platform::device_root(), root.dir());  // still the last good one
  ASSERT_TRUE(platform::resolve_device_root((root.dir() + "/.//").c_str(), out, sizeof(out)));
  EXPECT_EQ(std::string(out), root.dir());
  EXPECT_FALSE(platform::resolve_device_root(root.dir().c_str(), out, 4));  // does not fit
}

// A device path with a ".." component never maps: it could leave the root.
TEST(HostRoot, PathsThatClimbDoNotMap) {
  DeviceRoot root;
  char out[4096];
  for (const char* path : {"/..", "/../etc/passwd", "/system/lumo/res/../../../../x", "/a/..", "/a/../b"}) {
    EXPECT_FALSE(platform::map_path(path, out, sizeof(out))) << path;
    EXPECT_STREQ(out, "") << path;
  }
  for (const char* path : {"/a..b/c", "/..a", "/a/b..", "/x/.../y"}) {
    ASSERT_TRUE(platform::map_path(path, out, sizeof(out))) << path;
    EXPECT_EQ(out, root.dir() + path);
  }
}

// Directories are made only below the root; paths elsewhere are refused.
TEST(HostRoot, ParentDirectoriesAreMadeOnlyBelowTheRoot) {
  DeviceRoot root;
  EXPECT_EQ(platform::make_parent_dirs((root.dir() + "/a/b/c/file").c_str()), 0);
  EXPECT_TRUE(root.exists("/a/b/c"));
  EXPECT_FALSE(root.exists("/a/b/c/file"));
  const std::string outside = root.dir() + "-outside/x/file";
  for (const std::string& path : {outside, std::string("/tmp/lumo-never/x"), root.dir() + "/../escape/x",
                                  root.dir().substr(0, root.dir().size() - 1) + "/x"}) {
    errno = 0;
    EXPECT_EQ(platform::make_parent_dirs(path.c_str()), -1) << path;
    EXPECT_EQ(errno, EXDEV) << path;
  }
  EXPECT_NE(access((root.dir() + "-outside").c_str(), F_OK), 0);
}

}  // namespace
