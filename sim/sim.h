// A keyboard receiver played on a pseudo-terminal, so that the tool can be run
// and tested without the hardware. The master side is the receiver; the slave
// side stands in for the serial port.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace velquin::sim {

using bytes = std::vector<std::uint8_t>;

struct line {
  int master = -1;  // the receiver's end: a pseudo-terminal's master, or a real port
  int slave = -1;   // held open so that the port and its settings outlive the tool
  std::string slavepath;
  std::string link;   // symbolic link to the slave, removed by lineclose
  bool port = false;  // master is a real port, whose settings `saved` are put back
  termios saved{};
};

// Opens a pair. The slave gets `initial` when given, else quietdefaults(); a
// non-empty `link` is made to point at the slave, replacing an old link.
bool lineopen(line& l, const termios* initial, const std::string& link, std::string& err);
// Plays the receiver on an existing serial device instead: opened without
// becoming its controlling terminal, locked, set raw 9600 8N1.
bool portopen(line& l, const std::string& device, std::string& err);
void linehangup(line& l);  // closes the master: the port's users see the line end
                           // (a real port only stops being served, its settings put back)
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
// Every response after `noise` random bytes, and after FF 55 07 for request 1
// when `wrong`; no response at all when `quiet`.
answers noisyanswers(std::mt19937& rng, std::size_t noise, bool wrong, bool quiet);

// What the receiver answers request i with.
std::span<const std::uint8_t> response(int i);
// What request i must look like.
std::span<const std::uint8_t> request(int i);

// Plays the receiver's side of the start-up exchange until the last request
// has been answered (true), or `limit` passes, `stop` is requested or the line
// ends (false). Every byte the receiver hears is appended to `heard` when given.
bool playexchange(line& l, const answers& a, std::chrono::milliseconds limit, bytes* heard,
                  std::stop_token stop = {});

inline constexpr std::uint8_t leadbyte = 0xFF;       // begins a frame
inline constexpr std::uint8_t releaseprefix = 0xF0;  // F0 15: the key 15 comes up
inline constexpr std::uint8_t extendedprefix = 0xE0;

// A frame: lead byte FF, then every code followed by its complement.
bytes frame(std::span<const std::uint8_t> codes);

// The key events that type `c` on a US keyboard, each as the scan codes of one
// frame: a press is {code}, a release {F0, code}. Shift and Ctrl are pressed
// around the key as needed. False for a character no key types.
bool keyevents(char c, std::vector<bytes>& events);

// What is sent after the exchange, as the batches written to the line.
struct batches {
  int group = 1;  // frames to a batch
  std::vector<bytes> list;
  int infill = 0;  // frames in the last batch, 0 when the next frame begins a new one

  void addframe(const bytes& f);
  void addbatch(bytes b);  // a batch of its own
};

// Every key event for the characters of `text`, a frame each. False, with the
// character, when no key types one of them; the frames before it are added.
bool typetext(batches& b, std::string_view text, char& unknown);
// A frame per key event; a prefix F0 or E0 shares the frame of the code after it.
void typecodes(batches& b, std::span<const std::uint8_t> codes);
bytes randombytes(std::mt19937& rng, std::size_t n);
// Key frames as a noisy line garbles them: in about half of them a byte is
// lost, changed or doubled, or the frame is cut short.
bytes mangledframes(std::mt19937& rng, std::size_t n);

// How batches go out after the exchange.
struct pacing {
  std::chrono::milliseconds pause{
      100};               // after every batch, and after the first part of a split one
  std::size_t split = 0;  // cut every batch after this many bytes
  int rate = 0;           // bits per second, ten bits a byte, in 10 ms slices; 0: no limit
};

// Sends one batch as `p` says, and writes it to `log` when given.
bool sendbatch(line& l, const pacing& p, std::span<const std::uint8_t> b, std::FILE* log);

// One line of the tool's output, its three views.
struct view {
  bytes raw;
  bytes codes;
  bytes chars;
};
// "=ff =15 =ea #15 >71 'q'", without its newline: false unless every item is
// well formed and there is at least one raw byte.
bool parseview(std::string_view line, view& v);

// The batches recorded in a log of the tool's output: the raw view of every
// view line (one whose first item "=xx " begins it, or follows a prefix such
// as a time stamp), one batch a line, in order; other lines are skipped. 0, or
// the number of the first malformed view line.
int replaybatches(std::string_view log, std::vector<bytes>& out);

// A command run beside the receiver, normally the tool.
struct command {
  pid_t pid = -1;
  int status = 0;
  bool ended = false;

  // Starts `words`, with standard input on /dev/null when `quietstdin`.
  bool start(const std::vector<std::string>& words, bool quietstdin, std::string& err);
  bool reap(bool wait);    // whether it has ended; waits for it when `wait`
  int exitstatus() const;  // its status, 128 + the signal that ended it
};

// "ff 15,ea" to its bytes; false for anything but hexadecimal bytes.
bool hexbytes(std::string_view text, bytes& out);
// \n, \r, \t, \e and \b to the characters they stand for; \x to x.
std::string unescape(std::string_view s);

}  // namespace velquin::sim
