#include "init/init.h"

#include <cstdint>
#include <iterator>

#include "base/base.h"
#include "tty/tty.h"

namespace velquin {
namespace {

constexpr std::int32_t endmark = -1;

// clang-format off
//  #  bytes sent, in order
constexpr std::int32_t initstr[][27] = {
    /* 0 */ {0xFF, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x3F, 0x03, 0x20, 0x5A, 0x01, 0xA2, 0x00, 0x16, 0x3E, 0x16, 0x14, 0x16, 0x00, 0xC2, 0x06, 0x1D, endmark},
    /* 1 */ {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x03, 0xF0, 0x02, 0xF1, 0x5A, endmark},
    /* 2 */ {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x22, 0x00, 0x22, endmark},
};

//  #  bytes expected in answer
constexpr std::int32_t initresp[][6] = {
    /* 0 */ {0xFF, 0x55, 0x08, 0x3F, 0x37, endmark},
    /* 1 */ {0xFF, 0x55, 0x08, 0x03, 0x0B, endmark},
    /* 2 */ {0xFF, 0x55, 0x08, 0x22, 0x2A, endmark},
};
// clang-format on
static_assert(std::size(initstr) == std::size(initresp));
static_assert(initstr[0][26] == endmark && initstr[1][14] == endmark && initstr[2][12] == endmark);

constexpr int lastrequest = 2;
constexpr int exchangelimit = 5;  // clock seconds from the start, tested before each request
constexpr int answerlimit = 2;    // clock seconds a request waits for its answer

// True when the whole response came, false when it did not come in time.
bool receive(int fd, const std::int32_t* resp) {
  int j = 0;
  const std::time_t t = ttyclock();
  for (;;) {
    if (resp[j] < 0) return true;
    if (ttyclock() - t > answerlimit) return false;
    const int c = ttygetc(fd);
    if (c < 0) {
      ttywait(fd, false);
    } else if (c == resp[j]) {
      ++j;
    } else if (c == resp[0]) {
      // FF 55 FF 55 08 03 0B: the second FF may begin a fresh response.
      j = 1;
    } else {
      say("response %02x should be %02x\n", static_cast<unsigned>(c),
          static_cast<unsigned>(resp[j]));
      j = 0;
    }
  }
}

}  // namespace

int devinit(int fd) {
  const std::time_t start = ttyclock();
  // The drain counts against the exchange's time: bytes that come faster than
  // they are read would keep it going for ever.
  while (ttygetc(fd) >= 0 && ttyclock() - start <= exchangelimit) {
  }
  int i = 0;
  while (i <= lastrequest) {
    if (ttyclock() - start > exchangelimit) return -2;
    say("sending init string #%d\n", i);
    // A byte that cannot be sent abandons the rest of the request, which then
    // waits for its answer like any other: a dead line fails as a silent
    // receiver does, not one 15-second timeout per byte.
    for (const std::int32_t* p = initstr[i]; *p >= 0; ++p) {
      if (ttyputc(fd, *p) < 0) break;
    }
    // A response that does not come in time sends the same request again.
    if (receive(fd, initresp[i])) ++i;
  }
  return 0;
}

}  // namespace velquin
