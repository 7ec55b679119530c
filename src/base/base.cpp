#include "base/base.h"

#include <cstdarg>
#include <cstdio>

namespace velquin {

void say(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
}

void report(const char* fmt, ...) {
  // One write for the whole line where it fits, since standard error is
  // unbuffered; a longer one (a long path) in pieces, but never cut short.
  char line[512];
  const int head = std::snprintf(line, sizeof line, "%s: ", progname);
  std::va_list args;
  va_start(args, fmt);
  std::va_list again;
  va_copy(again, args);
  const int body =
      std::vsnprintf(line + head, sizeof line - static_cast<std::size_t>(head), fmt, args);
  if (head + body < static_cast<int>(sizeof line)) {
    std::fputs(line, stderr);
  } else {
    std::fprintf(stderr, "%s: ", progname);
    std::vfprintf(stderr, fmt, again);
  }
  va_end(again);
  va_end(args);
}

}  // namespace velquin
