// The leaf every module may use: the program's name and its prefixed
// messages. It uses nothing of the project.
#pragma once

namespace velquin {

inline constexpr const char* progname = "velquin";  // fixed, never taken from argv

// "velquin: " and the formatted message, on standard error.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velquin
