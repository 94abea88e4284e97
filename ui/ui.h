// The UI's start and stop: the start-up picture, the screen and the input
// thread.
//
// ui_start loads the start-up picture (once loaded, kept for the process),
// opens the screen, shows the picture centred on black and starts the input
// thread; ui_stop closes the screen. Both run on the main thread, called by
// the charging controller, and are guarded by a started flag: a second start
// or stop only logs. The input thread is started once per process and keeps
// running after ui_stop; a later ui_start reuses it. When the screen does not
// open, the first frame is skipped rather than drawn into missing buffers.
// The screen is opened, drawn and closed under display_lock().
#pragma once

void ui_start();
void ui_stop();

// 1 while the UI is started, else 0.
int ui_is_started();
