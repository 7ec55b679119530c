// A serial line's whole settings, custom speeds included (250000 bps for DMX,
// 74880 for a boot log), which a termios record cannot carry: Linux keeps such
// a rate as BOTHER with the rate itself beside it, and only termios2 holds it.
// Where TCGETS2 goes unanswered (qemu-user), the termios record is all there
// is. Shared by the tool and the emulator; async-signal-safe.
#pragma once

namespace velquin {

struct wholesettings {
  // The kernel's struct termios2, or its struct termios, whose header
  // clashes with <termios.h>.
  alignas(8) unsigned char record[64];
  int held;  // 2: a termios2, 1: a termios, 0: neither could be read
};

bool wholeget(int fd, wholesettings& s);        // false where neither can be read
bool wholeset(int fd, const wholesettings& s);  // applies them at once; false unless set

}  // namespace velquin
