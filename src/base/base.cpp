#include "base/base.h"

#include <cstdarg>
#include <cstdio>

namespace velquin {

void report(const char* fmt, ...) {
  // One write for the whole line: standard error is unbuffered.
  char line[256];
  const int head = std::snprintf(line, sizeof line, "%s: ", progname);
  std::va_list args;
  va_start(args, fmt);
  std::vsnprintf(line + head, sizeof line - static_cast<std::size_t>(head), fmt, args);
  va_end(args);
  std::fputs(line, stderr);
}

}  // namespace velquin
