// The leaf every module may use: the program's name and the one way out for
// its messages. It uses nothing of the project.
#pragma once

namespace velquin {

inline constexpr const char* progname = "velquin";  // fixed, never taken from argv

// A message as the tool's design words it ("sending init string #0"), on
// standard error.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "velquin: " and the formatted message, on standard error.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velquin
