// Run control: the constants of a run and the loop that watches the line.
#pragma once

namespace velquin {

inline constexpr const char* progname = "velquin";  // fixed, never taken from argv
inline constexpr int linerate = 9600;

// Prints every batch that arrives on the line, one line each, until the line
// ends, a read fails or the wait fails.
void monitor(int fd);

}  // namespace velquin
