// What the receiver sends after the exchange: key events as frames, gathered
// into batches, and the noise a bad line makes of them.
#pragma once
#include <cstdint>
#include <functional>
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

// Where an input's bytes go as they are made: a piece of the batch under
// way, and whether it ends the batch. False stops the making.
using sink = std::function<bool(std::span<const std::uint8_t> piece, bool last)>;

// The most bytes of a batch made at once where no frame bounds it.
inline constexpr std::size_t piecesize = 4096;

// Frames gathered `group` to a batch, each batch handed to `out` once it is
// full; flush() hands on one that is not.
struct gatherer {
  const sink& out;
  int group = 1;
  bool stopped = false;  // `out` stopped the making
  bytes batch{};
  int frames = 0;

  bool add(std::span<const std::uint8_t> codes);
  // The codes of whole key events, a frame each, a prefix F0 or E0 sharing
  // the frame of the code after it.
  bool addcodes(std::span<const std::uint8_t> codes);
  bool flush();
};

// Types the characters of `text` into `g`, a frame a key event: how many were
// typed, all of them unless `g` stopped or the next is one no key types.
std::size_t typetext(std::string_view text, gatherer& g);
// A frame per key event; a prefix F0 or E0 shares the frame of the code after
// it, and one left at the end, cut short, is a batch of its own.
bool typecodes(std::span<const std::uint8_t> codes, int group, const sink& out);
// `n` random bytes, one batch.
bool randombatch(std::mt19937& rng, std::size_t n, const sink& out);
// `n` bytes of key frames as a noisy line garbles them, one batch: in about
// half of them a byte is lost, changed or doubled, or the frame is cut short.
bool mangledbatch(std::mt19937& rng, std::size_t n, const sink& out);
bytes randombytes(std::mt19937& rng, std::size_t n);

// "ff 15,ea" to its bytes; false for anything but hexadecimal bytes.
bool hexbytes(std::string_view text, bytes& out);
// \n, \r, \t, \e, \b and \\ to the characters they stand for, into `out`;
// false, `out` ending with the bad escape, at any other or a backslash at
// the end.
bool unescape(std::string_view s, std::string& out);

}  // namespace velquin::sim
