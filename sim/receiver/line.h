// The line the receiver is played on: a pseudo-terminal whose slave side
// stands in for the serial port, or a real serial device.
#pragma once
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "sim/receiver/wait.h"
#include "tty/whole.h"

namespace velquin::sim {

struct line {
  int master = -1;  // the receiver's end: a pseudo-terminal's master, or a real port
  int slave = -1;   // held open so that the port and its settings outlive the tool
  std::string slavepath;
  std::string link;       // symbolic link to the slave, removed by lineclose
  bool port = false;      // master is a real port, whose settings `saved` are put back
  wholesettings saved{};  // with a custom speed's rate
  int lock = -1;          // held on the lock file beside the link while it is served
  std::string lockpath;
  // Readable once the run must stop (its command ended, an end signal came):
  // every wait on the line ends then. -1: nothing stops it.
  int stop = -1;
};

// The longest the port's user is given to read what was sent, and a real
// port's driver to send it.
inline constexpr std::chrono::seconds readlimit{10};

// Opens a pair. The slave gets `initial` when given, else quietdefaults(); a
// non-empty `link` is made to point at the slave, replacing an old link, but
// not one that another emulator still serves, nor a lock file beside it that
// is not one of velquin-sim's.
// Each says what went wrong, empty when nothing did.
std::string lineopen(line& l, const termios* initial, const std::string& link);
// Plays the receiver on an existing serial device instead: opened without
// becoming its controlling terminal, locked, set raw 9600 8N1. Not the
// emulator's own terminal.
std::string portopen(line& l, const std::string& device);
// Closes the master: the port's users see the line end. A real port only
// stops being served, its settings put back once its driver has sent what it
// holds, waiting no longer than readlimit.
void linehangup(line& l);
void lineclose(line& l);  // hangs up, closes the slave, removes the link
// What lineclose undoes that outlives the process (a port's settings, the
// link, the lock file), where it cannot go on: async-signal-safe.
void lineabandon(const line& l);

outcome linesend(const line& l, std::span<const std::uint8_t> b);  // all of b
outcome linepause(const line& l, std::chrono::milliseconds d);     // due after d
// Whether `path` names the line's port side (under any name, the link's
// among them) or the device it plays on.
bool linenamed(const line& l, const std::string& path);
// Whether `path` names the lock file beside the link.
bool locknamed(const line& l, const std::string& path);
bool linesettings(const line& l, termios& t);  // the port's current settings
// Bytes sent that the port's user has not read yet; a real port's, those not
// yet handed to its UART.
int lineunread(const line& l);

// Settings a port is left with by a previous raw user at 9600 bps: nothing
// the receiver sends before the tool starts is echoed, edited or translated.
termios quietdefaults();

}  // namespace velquin::sim
