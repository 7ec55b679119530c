// The leaf every module may use: the program's name, and the one way out for
// its messages and its output. It uses nothing of the project.
#pragma once
#include <cstddef>

namespace velquin {

inline constexpr const char* progname = "velquin";  // fixed, never taken from argv
inline constexpr std::size_t longestpath = 4095;    // what open(2) takes; a message holds one

// A message as the tool's design words it ("sending init string #0"), on
// standard error, in one write. One that cannot be written is dropped: there
// is nowhere left to report it.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "velquin: " and the formatted message, on standard error.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes all n bytes to fd, retrying what was interrupted and waiting while
// a descriptor left non-blocking (a paused pager, Ctrl-S) is full. 0, or the
// errno of the failure; what failed to go out is not written later.
int writeall(int fd, const char* data, std::size_t n);

}  // namespace velquin
