// Stream decoding: the receiver's frames to scan codes, scan codes to the
// characters they type. The decoders know nothing of the line: they take
// (length, buffer), read the first length bytes, and write their output to the
// start of the same buffer, which must hold at least carrysize bytes. Whatever
// cannot be finished yet is carried over to the next call.
#pragma once
#include <cstdint>

namespace velquin {

inline constexpr int carrysize = 8192;

struct carrybuf {
  std::uint8_t data[carrysize];
  int count;          // bytes held, 0..carrysize
  const char* owner;  // the decoder named in its overflow message
};

// Appends as much of the input as fits; reports when the buffer ends up full.
void carryappend(carrybuf& b, const std::uint8_t* in, int n);
// The bytes from `pos` on become the whole content.
void carrykeep(carrybuf& b, int pos);

// Frames to codes: FF 15 EA gives 15.
struct framedecoder {
  carrybuf carry{{}, 0, "velquinconv"};
  int convert(int n, std::uint8_t* buf);
};

// Set-2 scan codes to characters: 15 gives 'q', with Shift, Ctrl and Alt tracked.
struct keytranslator {
  carrybuf carry{{}, 0, "ps2conv"};
  int modstate = 0;  // held modifiers: 1 Shift, 2 Ctrl, 4 Alt
  int convert(int n, std::uint8_t* buf);
};

// The tool's one instance of each, state kept for the whole run.
int velquinconv(int n, std::uint8_t* buf);
int ps2conv(int n, std::uint8_t* buf);

}  // namespace velquin
