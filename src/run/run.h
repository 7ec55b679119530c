// Run control: the constants of a run and the loop that watches the line.
#pragma once

namespace velquin {

inline constexpr int linerate = 9600;
inline constexpr int writefailed = 2;  // exit status when standard output cannot be written

// Prints every batch that arrives on the line, one line each, until the line
// ends, a read fails or the wait fails (0), or until standard output cannot be
// written (the errno of that failure).
int monitor(int fd);

}  // namespace velquin
