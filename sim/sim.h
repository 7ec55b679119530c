// A keyboard receiver played on a pseudo-terminal, so that the tool can be run
// and tested without the hardware. The master side is the receiver; the slave
// side stands in for the serial port.
#pragma once
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace velquin::sim {

using bytes = std::vector<std::uint8_t>;

struct line {
  int master = -1;
  int slave = -1;  // held open so that the port and its settings outlive the tool
  std::string slavepath;
  std::string link;  // symbolic link to the slave, removed by lineclose
};

// Opens a pair. The slave gets `initial` when given, else quietdefaults(); a
// non-empty `link` is made to point at the slave, replacing an old link.
bool lineopen(line& l, const termios* initial, const std::string& link, std::string& err);
void linehangup(line& l);  // closes the master: the port's users see the line end
void lineclose(line& l);   // hangs up, closes the slave, removes the link
bool linesend(line& l, std::span<const std::uint8_t> b);  // all of b, or false
bool linesettings(const line& l, termios& t);             // the port's current settings

// Settings a port is left with by a previous raw user at 9600 bps: nothing
// the receiver sends before the tool starts is echoed, edited or translated.
termios quietdefaults();

// How the receiver answers the three start-up requests.
struct answers {
  int from[3] = {0, 0, 0};           // first attempt of request i that is answered; -1: never
  std::optional<bytes> reply[3];     // sent for request i instead of its response
  std::chrono::milliseconds gap{0};  // pause between the bytes of a reply
};

answers silent();  // never answers

// What the receiver answers request i with.
std::span<const std::uint8_t> response(int i);
// What request i must look like.
std::span<const std::uint8_t> request(int i);

// Plays the receiver's side of the start-up exchange until the last request
// has been answered (true), or `limit` passes, `stop` is requested or the line
// ends (false). Every byte the receiver hears is appended to `heard` when given.
bool playexchange(line& l, const answers& a, std::chrono::milliseconds limit, bytes* heard,
                  std::stop_token stop = {});

// A frame: lead byte FF, then every code followed by its complement.
bytes frame(std::span<const std::uint8_t> codes);

// The key events that type `c` on a US keyboard, each as the scan codes of one
// frame: a press is {code}, a release {F0, code}. Shift and Ctrl are pressed
// around the key as needed. False for a character no key types.
bool keyevents(char c, std::vector<bytes>& events);

}  // namespace velquin::sim
