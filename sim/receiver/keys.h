// What the receiver sends after the exchange: key events as frames, gathered
// into batches, and the noise a bad line makes of them.
#pragma once
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquin::sim {

using bytes = std::vector<std::uint8_t>;

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

// "ff 15,ea" to its bytes; false for anything but hexadecimal bytes.
bool hexbytes(std::string_view text, bytes& out);
// \n, \r, \t, \e and \b to the characters they stand for; \x to x.
std::string unescape(std::string_view s);

}  // namespace velquin::sim
