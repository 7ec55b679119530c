// A serial line's whole settings, custom speeds included (250000 bps for DMX,
// 74880 for a boot log), which a termios record cannot carry: Linux keeps such
// a rate as BOTHER with the rate itself beside it, and only termios2 holds it.
// Shared by the tool and the emulator; async-signal-safe.
#pragma once

namespace velquin {

struct wholesettings {
  alignas(8) unsigned char record[64];  // a struct termios2, whose header clashes with <termios.h>
  bool held;                            // false where TCGETS2 went unanswered (qemu-user)
};

bool wholeget(int fd, wholesettings& s);        // false where TCGETS2 fails
bool wholeset(int fd, const wholesettings& s);  // applies them at once; false unless held and set

}  // namespace velquin
