// Run control: the constants of a run and the loop that watches the line.
#pragma once

namespace velquin {

inline constexpr int linerate = 9600;
inline constexpr int writefailed = 2;   // exit status when standard output cannot be written
inline constexpr int batchsize = 8192;  // the most bytes one read takes

// The longest line a batch can make, its newline included: every byte a raw
// item "=ff ", half of them codes "#15 ", and every code a character
// ">0d '\015'".
inline constexpr int longestline = batchsize * 4 + batchsize / 2 * (4 + 10) + 1;

// Prints every batch that arrives on the line, one line each, until the line
// ends, a read fails or the wait fails (0), or until standard output cannot be
// written (the errno of that failure).
int monitor(int fd);

}  // namespace velquin
