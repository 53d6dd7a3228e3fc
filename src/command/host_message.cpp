#include "command/host_message.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "system/console.h"
#include "tapline.h"

namespace tapline {
namespace {

constexpr int kHostFormatLimit = 1024;  // bytes produced, terminating zero included

struct PendingText {
  tapline_host_window window;
  char* text;
};

// The delivery thread and its queue. Created on first use and deliberately never
// destroyed: a host callback may still be running while the process exits.
class DeliveryQueue {
 public:
  void push(tapline_host_window window, char* text) {
    {
      std::lock_guard guard(lock_);
      if (!started_) {
        std::thread(&DeliveryQueue::run, this).detach();
        started_ = true;
      }
      pending_.push_back({window, text});
    }
    wake_.notify_one();
  }

  bool wait_idle(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return idle_.wait_for(guard, timeout, [this] { return pending_.empty() && !delivering_; });
  }

 private:
  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return !pending_.empty(); });
      PendingText next = pending_.front();
      pending_.pop_front();
      delivering_ = true;
      guard.unlock();
      next.window(TAPLINE_HOST_MESSAGE, 0, next.text);
      guard.lock();
      delivering_ = false;
      if (pending_.empty()) idle_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<PendingText> pending_;
  bool delivering_ = false;
  bool started_ = false;
};

DeliveryQueue& delivery_queue() {
  static DeliveryQueue* queue = new DeliveryQueue;
  return *queue;
}

std::atomic<tapline_host_window> host_window{nullptr};

// Appends one converted value; keeps the terminating zero inside the limit.
void append(char*& out, char* end, const char* text, size_t length) {
  const size_t room = static_cast<size_t>(end - out);
  const size_t n = length < room ? length : room;
  std::memcpy(out, text, n);
  out += n;
}

}  // namespace

int host_vformat(char* out, int size, const char* format, va_list args) {
  if (size <= 0) return 0;
  char* cursor = out;
  char* const end = out + size - 1;
  const char* p = format;
  while (*p && cursor < end) {
    if (*p != '%') {
      *cursor++ = *p++;
      continue;
    }
    const char* conversion_start = p++;
    if (*p == '%') {
      *cursor++ = *p++;
      continue;
    }
    // Flags, width, precision and a size prefix, then the conversion character.
    while (*p == '-' || *p == '0' || *p == '#') ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
    bool is_long = false;
    if (*p == 'l' || *p == 'h') is_long = *p++ == 'l';
    const char type = *p;
    if (type == '\0') break;
    ++p;
    // The conversion with its size prefix dropped: values are read at their own width below.
    char conversion[32];
    size_t conversion_len = 0;
    for (const char* s = conversion_start; s < p - 1 && conversion_len < sizeof conversion - 3; ++s)
      if (*s != 'l' && *s != 'h') conversion[conversion_len++] = *s;
    char value[128];
    int n = -1;
    switch (type) {
      case 'd':
      case 'i': {
        const long v = is_long ? va_arg(args, long) : va_arg(args, int);
        conversion[conversion_len++] = 'l';
        conversion[conversion_len++] = 'd';
        conversion[conversion_len] = '\0';
        n = std::snprintf(value, sizeof value, conversion, v);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        const unsigned long v = is_long ? va_arg(args, unsigned long) : va_arg(args, unsigned);
        conversion[conversion_len++] = 'l';
        conversion[conversion_len++] = type;
        conversion[conversion_len] = '\0';
        n = std::snprintf(value, sizeof value, conversion, v);
        break;
      }
      case 'c':
      case 'C': {
        conversion[conversion_len++] = 'c';
        conversion[conversion_len] = '\0';
        n = std::snprintf(value, sizeof value, conversion, va_arg(args, int));
        break;
      }
      case 's':
      case 'S': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        conversion[conversion_len++] = 's';
        conversion[conversion_len] = '\0';
        // Strings may be long: format straight into the output's remaining room.
        const int room = static_cast<int>(end - cursor) + 1;
        const int wanted = std::snprintf(cursor, static_cast<size_t>(room), conversion, text);
        cursor += wanted < room ? wanted : room - 1;
        continue;
      }
      default:
        // No floating-point or pointer conversions: the character stands for itself.
        *cursor++ = type;
        continue;
    }
    if (n > 0)
      append(cursor, end, value, static_cast<size_t>(n) < sizeof value ? n : sizeof value - 1);
  }
  *cursor = '\0';
  return static_cast<int>(cursor - out);
}

void post_to_host(const char* text) {
  const tapline_host_window window = host_window.load();
  if (window == nullptr) return;
  const size_t length = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return;  // out of memory: the text is dropped
  std::memcpy(copy, text, length + 1);
  delivery_queue().push(window, copy);
}

void host_printf(const char* format, ...) {
  char buffer[kHostFormatLimit];
  va_list args;
  va_start(args, format);
  host_vformat(buffer, sizeof buffer, system::locale_format(format), args);
  va_end(args);
  post_to_host(buffer);
}

bool flush_host_messages(std::chrono::milliseconds timeout) {
  return delivery_queue().wait_idle(timeout);
}

}  // namespace tapline

extern "C" int set_apphandle(tapline_host_window window) {
  tapline::host_window.store(window);
  return 0;
}
