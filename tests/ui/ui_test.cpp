#include "ui/ui.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/message_queue.h"
#include "tests/support/device_root.h"
#include "ui/graphics.h"

namespace lumo_ui_test {
// From charge_anim_test.cpp (same test binary).
void write_solid_png(const std::string& path, int w, int h, uint8_t r, uint8_t g, uint8_t b);
void make_framebuffer(const lumo_test::DeviceRoot& root, int w, int h);
}  // namespace lumo_ui_test

namespace {

using lumo_ui_test::make_framebuffer;
using lumo_ui_test::write_solid_png;

constexpr int kW = 160, kH = 400;
constexpr uint16_t kLogoRed = 0xF800;

// The UI's state and its input thread live for the whole process, so each
// test runs in a fresh child; a failed check prints why and exits non-zero.
#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      _exit(1);                                                                \
    }                                                                          \
  } while (0)

// Each input thread scans the input directory once when it starts, so the
// number of scans is the number of input threads started. A second thread
// would scan within milliseconds; the wait leaves it ample time.
long input_scans(const lumo_test::DeviceRoot& root) {
  usleep(200 * 1000);
  auto texts = root.log_texts('D');
  return std::count(texts.begin(), texts.end(), "/dev/input/event0");
}

long log_count(const lumo_test::DeviceRoot& root, char priority, const std::string& text) {
  auto texts = root.log_texts(priority);
  return std::count(texts.begin(), texts.end(), text);
}

long log_prefix_count(const lumo_test::DeviceRoot& root, char priority, const std::string& prefix) {
  auto texts = root.log_texts(priority);
  return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
}

uint16_t shown_pixel(int x, int y) {
  return reinterpret_cast<const uint16_t*>(gr_fb_pages[gr_front_page].data)[y * kW + x];
}

// Presses key `code` on the FIFO and waits for its message.
bool key_reaches_queue(int writer, int code) {
  messageQueueClear();
  input_event e{};
  e.type = EV_KEY;
  e.code = static_cast<uint16_t>(code);
  e.value = 1;
  if (write(writer, &e, sizeof(e)) != static_cast<ssize_t>(sizeof(e))) return false;
  if (!lumo_test::wait_until([] { return messageQueueCount() > 0; }, 5000)) return false;
  Message m;
  waitMessage(&m);
  return m.code == MSG_KEY_DOWN && m.arg1 == code && m.arg2 == 1;
}

void start_stop_child() {
  lumo_test::DeviceRoot root;
  make_framebuffer(root, kW, kH);
  // Every byte of the screen starts white, so black must be drawn.
  root.write("/dev/graphics/fb0", std::string(static_cast<size_t>(kW) * kH * 2 * 2, '\xff'));
  root.mkdir("/system/lumo/res");
  write_solid_png(root.path("/system/lumo/res/zelt_logo.png"), 10, 10, 255, 0, 0);
  root.mkfifo("/dev/input/event0");
  int writer = open(root.path("/dev/input/event0").c_str(), O_RDWR | O_NONBLOCK);
  CHILD_CHECK(writer >= 0);

  ui_start();
  CHILD_CHECK(ui_is_started() == 1);
  CHILD_CHECK(log_prefix_count(root, 'D', "log gr : ") == 1);
  CHILD_CHECK(log_count(root, 'D', "log gr : 0") == 0);
  CHILD_CHECK(shown_pixel(kW / 2, kH / 2) == kLogoRed);
  CHILD_CHECK(shown_pixel(0, 0) == 0);
  CHILD_CHECK(shown_pixel(kW - 1, kH - 1) == 0);
  CHILD_CHECK(key_reaches_queue(writer, 116));  // the thread has scanned
  CHILD_CHECK(input_scans(root) == 1);

  ui_start();
  CHILD_CHECK(log_count(root, 'E', "cannot reinit ui!") == 1);
  CHILD_CHECK(log_prefix_count(root, 'D', "log gr : ") == 1);  // picture kept
  CHILD_CHECK(log_prefix_count(root, 'W', "framebuffer: fd ") == 1);  // opened once
  CHILD_CHECK(input_scans(root) == 1);

  ui_stop();
  CHILD_CHECK(ui_is_started() == 0);
  CHILD_CHECK(log_count(root, 'W', "ui exit .....") == 1);
  CHILD_CHECK(log_count(root, 'D', "ui exit succes.") == 1);
  CHILD_CHECK(gr_mem_surface.data == nullptr);
  ui_stop();
  CHILD_CHECK(log_count(root, 'E', "cannot exit ui, because not init.") == 1);
  CHILD_CHECK(log_count(root, 'D', "Close gr_fb_fd") == 1);
  CHILD_CHECK(log_count(root, 'D', "ui exit succes.") == 1);

  // A restart opens the screen again and keeps the one input thread.
  ui_start();
  CHILD_CHECK(ui_is_started() == 1);
  CHILD_CHECK(gr_mem_surface.data != nullptr);
  CHILD_CHECK(shown_pixel(kW / 2, kH / 2) == kLogoRed);
  CHILD_CHECK(key_reaches_queue(writer, 115));
  CHILD_CHECK(input_scans(root) == 1);
  ui_stop();
  _exit(0);
}

void no_screen_child() {
  lumo_test::DeviceRoot root;  // no framebuffer, no logo, no input
  ui_start();
  CHILD_CHECK(ui_is_started() == 1);
  CHILD_CHECK(log_count(root, 'D', "log gr : 0") == 1);
  CHILD_CHECK(log_count(root, 'E', "ui start: screen did not open, first frame skipped.") == 1);
  CHILD_CHECK(gr_mem_surface.data == nullptr);
  ui_stop();
  CHILD_CHECK(log_count(root, 'D', "ui exit succes.") == 1);

  // The picture is tried again on the next start, and now the screen opens.
  make_framebuffer(root, kW, kH);
  root.mkdir("/system/lumo/res");
  write_solid_png(root.path("/system/lumo/res/zelt_logo.png"), 10, 10, 255, 0, 0);
  ui_start();
  CHILD_CHECK(log_prefix_count(root, 'D', "log gr : ") == 2);
  CHILD_CHECK(log_count(root, 'D', "log gr : 0") == 1);
  CHILD_CHECK(shown_pixel(kW / 2, kH / 2) == kLogoRed);
  ui_stop();
  _exit(0);
}

TEST(UiTest, StartAndStopTwiceReuseScreenAndInputThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start_stop_child(), ::testing::ExitedWithCode(0), "");
}

TEST(UiTest, StartWithoutScreenSkipsTheFirstFrame) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(no_screen_child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
