// UI start and stop. The UI's state and its input thread live for the whole
// process, so each test runs in a fresh child; a failed check names its line.
#include "ui/ui.h"

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "queue/message_queue.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/graphics.h"

namespace {

constexpr int kW = 160, kH = 400;

#define CHILD_CHECK(cond) \
  if (!(cond)) fprintf(stderr, "line %d: %s\n", __LINE__, #cond), root.exit_child(1)

// Log lines of one priority that begin with `prefix`.
long logged(const lumo_test::DeviceRoot& root, char priority, const std::string& prefix) {
  auto texts = root.log_texts(priority);
  return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
}

uint16_t shown_pixel(int x, int y) {
  return reinterpret_cast<const uint16_t*>(gr_fb_pages[gr_front_page].data)[y * kW + x];
}

void add_screen_and_logo(const lumo_test::DeviceRoot& root) {
  lumo_test::make_screen(root, kW, kH, 16, true, '\xff');  // white: black must be drawn
  CHILD_CHECK(lumo_test::put_png(root, "/system/lumo/res/zelt_logo.png", lumo_test::solid_png(10, 10, 255, 0, 0)));
}

// Presses `code` on the FIFO; true when its message arrives. Each input
// thread scans the directory once, logging each entry: a second thread would
// do so within milliseconds, so the count after a pause is the thread count.
bool key_reaches_queue_from_one_thread(const lumo_test::DeviceRoot& root, int writer, uint16_t code) {
  messageQueueClear();
  input_event e{};
  e.type = EV_KEY, e.code = code, e.value = 1;
  if (write(writer, &e, sizeof(e)) != static_cast<ssize_t>(sizeof(e))) return false;
  Message m;
  if (!lumo_test::wait_until([] { return messageQueueCount() > 0; }, 5000)) return false;
  waitMessage(&m);
  usleep(200 * 1000);
  return m.code == MSG_KEY_DOWN && m.arg1 == code && m.arg2 == 1 && logged(root, 'D', "/dev/input/event0") == 1;
}

// Started first without a framebuffer or a logo, then again with both.
void start_stop_child() {
  lumo_test::DeviceRoot root;
  root.mkfifo("/dev/input/event0");
  int writer = open(root.path("/dev/input/event0").c_str(), O_RDWR | O_NONBLOCK);
  CHILD_CHECK(writer >= 0);
  ui_start();
  CHILD_CHECK(ui_is_started() == 1 && gr_mem_surface.data == nullptr);
  CHILD_CHECK(logged(root, 'D', "log gr : 0") == 1);
  CHILD_CHECK(logged(root, 'E', "ui start: screen did not open, first frame skipped.") == 1);
  CHILD_CHECK(key_reaches_queue_from_one_thread(root, writer, 116));
  ui_stop();
  CHILD_CHECK(ui_is_started() == 0);
  CHILD_CHECK(logged(root, 'W', "ui exit .....") == 1 && logged(root, 'D', "ui exit succes.") == 1);
  add_screen_and_logo(root);  // the picture is tried again on the next start
  ui_start();  // opens the screen, keeps the one input thread
  CHILD_CHECK(ui_is_started() == 1);
  CHILD_CHECK(logged(root, 'D', "log gr : ") == 2 && logged(root, 'D', "log gr : 0") == 1);
  CHILD_CHECK(shown_pixel(kW / 2, kH / 2) == 0xF800 && shown_pixel(0, 0) == 0 && shown_pixel(kW - 1, kH - 1) == 0);
  CHILD_CHECK(key_reaches_queue_from_one_thread(root, writer, 115));
  ui_start();
  CHILD_CHECK(logged(root, 'E', "cannot reinit ui!") == 1);
  CHILD_CHECK(logged(root, 'D', "log gr : ") == 2 && logged(root, 'W', "framebuffer: fd ") == 1);
  root.clear_log();
  ui_stop();
  CHILD_CHECK(ui_is_started() == 0 && gr_mem_surface.data == nullptr);
  CHILD_CHECK(logged(root, 'W', "ui exit .....") == 1 && logged(root, 'D', "ui exit succes.") == 1);
  ui_stop();
  CHILD_CHECK(logged(root, 'E', "cannot exit ui, because not init.") == 1);
  CHILD_CHECK(logged(root, 'D', "Close gr_fb_fd") == 1 && logged(root, 'D', "ui exit succes.") == 1);
  root.exit_child(0);
}

TEST(UiTest, StartWithoutScreenThenStartAndStopTwiceReuseTheInputThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start_stop_child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
