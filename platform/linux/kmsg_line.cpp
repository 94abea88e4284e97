#include "platform/linux/kmsg_line.h"

#include <cstdio>
#include <cstring>

#include "platform/log.h"

namespace platform::kernel {

int kmsg_level(int priority) {
  switch (priority) {
    case kLogInfo: return 6;
    case kLogWarn: return 4;
    case kLogError: return 3;
    default: return priority > kLogError ? 2 : 7;
  }
}

size_t format_kmsg_line(int priority, const char* tag, const char* text, char* out, size_t size) {
  if (out == nullptr || size < 64) return 0;
  int prefix = snprintf(out, size, "<%d>%.32s: ", kmsg_level(priority), tag == nullptr ? "" : tag);
  if (prefix <= 0 || static_cast<size_t>(prefix) + 2 > size) return 0;
  if (text == nullptr) text = "";
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  size_t room = size - static_cast<size_t>(prefix) - 2;  // newline and terminator
  if (len > room) len = room;
  char* body = out + prefix;
  for (size_t i = 0; i < len; ++i) body[i] = (text[i] == '\n' || text[i] == '\r') ? ' ' : text[i];
  body[len] = '\n';
  body[len + 1] = '\0';
  return static_cast<size_t>(prefix) + len + 1;
}

}  // namespace platform::kernel
