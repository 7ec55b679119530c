// A line's whole settings as Linux's termios2 holds them, custom speeds
// included, and a custom speed set on a line in both directions.
#pragma once
#include <string>

namespace velquin::test {

std::string wholesettingsof(int fd);
bool setcustomspeed(int fd, unsigned rate);

}  // namespace velquin::test
