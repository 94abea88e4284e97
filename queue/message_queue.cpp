#include "queue/message_queue.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

struct MessageQueue {
  Message slots[kMessageQueueCapacity];
  int count = 0;
  std::mutex mutex;
  std::condition_variable ready;
};

MessageQueue g_queue;

}  // namespace

void postMessage(const Message& message) {
  std::lock_guard<std::mutex> lock(g_queue.mutex);
  if (g_queue.count >= kMessageQueueCapacity) return;  // full: dropped
  g_queue.slots[g_queue.count++] = message;
  g_queue.ready.notify_one();
}

void sendMessage(int32_t code, int32_t arg1, int32_t arg2) { postMessage(Message{code, arg1, arg2}); }

void postKeyEvent(int32_t key_code, int32_t value) {
  sendMessage(value != 0 ? MSG_KEY_DOWN : MSG_KEY_UP, key_code, value);
}

Message* waitMessage(Message* message) {
  std::unique_lock<std::mutex> lock(g_queue.mutex);
  g_queue.ready.wait(lock, [] { return g_queue.count > 0; });
  *message = g_queue.slots[0];
  --g_queue.count;
  memmove(&g_queue.slots[0], &g_queue.slots[1], sizeof(Message) * g_queue.count);
  return message;
}

int messageQueueCount() {
  std::lock_guard<std::mutex> lock(g_queue.mutex);
  return g_queue.count;
}

void messageQueueClear() {
  std::lock_guard<std::mutex> lock(g_queue.mutex);
  g_queue.count = 0;
}
