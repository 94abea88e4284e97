#include "ui/ui.h"

#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "config/settings.h"
#include "platform/log.h"
#include "ui/display_lock.h"
#include "ui/draw.h"
#include "ui/graphics.h"
#include "ui/image.h"
#include "ui/input.h"

namespace {

int ui_started = 0;
Surface* g_startup_picture = nullptr;
bool g_input_thread_running = false;

void* input_thread_entry(void*) { input_thread(); }

// The picture's address as one word for the log: 0 only for no picture. A
// 64-bit address whose low half is 0 would otherwise read as a failed load;
// widened first, so that the shift is defined where pointers are 32 bits.
unsigned address_word(const void* p) {
  uint64_t a = reinterpret_cast<uintptr_t>(p);
  unsigned low = static_cast<unsigned>(a);
  return low != 0 || a == 0 ? low : static_cast<unsigned>(a >> 32);
}

void load_startup_picture() {
  if (g_startup_picture != nullptr) return;
  load_png_surface(getLogoName(), &g_startup_picture);
  LOGD("log gr : %x", address_word(g_startup_picture));
}

// The first frame: the picture centred on the freshly opened (black) memory
// surface.
void show_first_frame() {
  std::lock_guard<std::mutex> display(display_lock());
  if (graphics_open() != 0) {
    LOGE("ui start: screen did not open, first frame skipped.\n");
    return;
  }
  draw_image(g_startup_picture, PLACE_CENTER);
  screen_present();
}

// The thread is never stopped, so a restarted UI keeps the one that runs.
void start_input_thread() {
  if (g_input_thread_running) return;
  pthread_t thread;
  int err = pthread_create(&thread, nullptr, input_thread_entry, nullptr);
  if (err != 0) {
    LOGE("ui start: input thread not started (%d).\n", err);
    return;
  }
  pthread_detach(thread);
  g_input_thread_running = true;
}

}  // namespace

void ui_start() {
  load_startup_picture();
  if (ui_started) {
    LOGE("cannot reinit ui!\n");
    return;
  }
  ui_started = 1;
  show_first_frame();
  start_input_thread();
}

void ui_stop() {
  if (!ui_started) {
    LOGE("cannot exit ui, because not init.\n");
    return;
  }
  ui_started = 0;
  LOGW("ui exit .....\n");
  {
    std::lock_guard<std::mutex> display(display_lock());
    graphics_close();
  }
  LOGD("ui exit succes.\n");
}

int ui_is_started() { return ui_started; }
