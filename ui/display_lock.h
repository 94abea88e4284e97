// The display lock: one mutex for everything that draws on or opens and
// closes the screen (graphics_open / graphics_close, the drawing layer,
// screen_present and the charging screen's picture table).
//
// Taken by ui_start around opening the screen and its first frame, by
// ui_stop around closing it, and by the charging animation around each frame
// it draws and presents (on the main thread at creation, on the "Charge
// Anim" timer thread afterwards). Never held while taking the animation's
// own lock: that lock, when needed, is always taken first.
#pragma once

#include <mutex>

std::mutex& display_lock();
