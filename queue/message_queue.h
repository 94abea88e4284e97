// The process-wide message queue: the one way other threads hand work to the
// charging controller on the main thread.
//
// Any thread posts; only the main thread takes (waitMessage). The queue is a
// fixed array of kMessageQueueCapacity records under one mutex: posting never
// blocks and never allocates (safe from timer callbacks and the input
// thread); a post to a full queue is dropped silently. Strictly FIFO. Needs no
// set-up and is never torn down.
#pragma once

#include <cstdint>

struct Message {
  int32_t code;
  int32_t arg1;
  int32_t arg2;
};

constexpr int kMessageQueueCapacity = 256;

// Message codes, and what the charging controller does with each.
enum MessageCode : int32_t {
  MSG_KEY_DOWN = 1,            // arg1 key code, arg2 value (1 press, 2 repeat)
  MSG_KEY_UP = 2,              // arg1 key code, arg2 0
  MSG_TIMER = 3,               // arg1 timer id (timers without a callback)
  MSG_SCREEN_ON = 0x10,        // backlight went from 0 to lit
  MSG_SCREEN_OFF = 0x11,       // a backlight ramp reached 0
  MSG_CHARGE_START = 0x520,    // posted once by the charging loop itself
  MSG_PRESSURE_TEST = 0x521,   // test mode: boot as for the power key
  MSG_BATTERY = 0x1001,        // arg1 charger online, arg2 battery level
  MSG_ALARM = 0x1002,          // the power-up alarm is due
  MSG_CHARGE_WARNING = 0x1003, // the animation shows a warning picture
};

void postMessage(const Message& message);
void sendMessage(int32_t code, int32_t arg1, int32_t arg2);
// A key event from the input thread: MSG_KEY_DOWN for a non-zero value (press
// or auto-repeat), MSG_KEY_UP for 0; arg1 the key code, arg2 the value.
void postKeyEvent(int32_t key_code, int32_t value);
// Blocks until a message is queued, moves the oldest into `message` and
// returns `message`.
Message* waitMessage(Message* message);

// Tests: the number of queued messages, and emptying the queue.
int messageQueueCount();
void messageQueueClear();
