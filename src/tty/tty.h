// Serial line: open the port, switch it to raw mode and back, move single bytes.
#pragma once
#include <termios.h>

#include <ctime>

namespace velquin {

int ttyopen(const char* path);        // exits with status 1 when the port cannot be used
speed_t ttyspeed(int rate);           // the speed code; B9600, with a message, for a rate it lacks
void ttysetup(int fd, int rate);      // saves the current settings, applies raw mode
void ttyrestore(int fd);              // applies the settings saved by ttysetup
int ttyclose(int fd);                 // restores the saved settings, closes
int ttyputc(int fd, int value);       // the byte sent (0..255), or -1 when it cannot be sent
int ttygetc(int fd);                  // the next byte (0..255), or -1 when none is waiting
std::time_t ttyclock();               // whole seconds on the clock every deadline is counted on
bool ttywait(int fd, bool forwrite);  // sleeps until the line is ready or ttyclock() moves on;
                                      // false when the line reports a hang-up or an error

}  // namespace velquin
