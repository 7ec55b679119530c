#include <cstring>

#include "base/base.h"
#include "decode/decode.h"

namespace velquin {

void carryappend(carrybuf& b, const std::uint8_t* in, int n) {
  const int room = carrysize - b.count;
  const int take = n < room ? n : room;
  if (take > 0) {
    std::memcpy(b.data + b.count, in, static_cast<std::size_t>(take));
    b.count += take;
  }
  // Reported whenever an append leaves the buffer full, even when every byte
  // fitted: from here on input is dropped.
  if (b.count >= carrysize) report("%s: buffer overflow\n", b.owner);
}

void carrykeep(carrybuf& b, int pos) {
  const int keep = b.count - pos;
  if (keep > 0) std::memmove(b.data, b.data + pos, static_cast<std::size_t>(keep));
  b.count = keep > 0 ? keep : 0;
}

}  // namespace velquin
