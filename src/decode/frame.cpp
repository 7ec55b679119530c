#include "decode/decode.h"

namespace velquin {
namespace {

constexpr std::uint8_t leadbyte = 0xFF;

framedecoder frames;

}  // namespace

int velquinconv(int n, std::uint8_t* buf) {
  return frames.convert(n, buf);
}

int framedecoder::convert(int n, std::uint8_t* buf) {
  carryappend(carry, buf, n);
  const std::uint8_t* data = carry.data;
  const int count = carry.count;
  int out = 0;
  int j = 0;
  while (j < count) {
    while (j < count && data[j] == leadbyte) ++j;
    const int runj = j;
    const int runout = out;
    while (j + 1 < count && data[j + 1] == static_cast<std::uint8_t>(leadbyte - data[j])) {
      buf[out++] = data[j];
      j += 2;
    }
    if (j == count - 1) {
      // FF 12 ED 34, FF 15 EA FF: the last byte may be the first half of a
      // pair still on its way, so the whole run is held back and decoded
      // again when the rest has come.
      out = runout;
      j = runj;
      break;
    }
    if (j < count && data[j] != leadbyte) {
      // Resynchronise: a code without its complement (FF 15 40 ..) is
      // dropped with everything after it up to the next lead byte.
      while (j < count && data[j] != leadbyte) ++j;
    }
  }
  carrykeep(carry, j);
  return out;
}

}  // namespace velquin
