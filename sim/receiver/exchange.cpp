#include <algorithm>
#include <cerrno>
#include <iterator>

#include "sim/receiver/exchange.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

// The receiver's side of the start-up exchange, written down apart from the
// tool's own tables so that a slip in either shows up in the tests.
// clang-format off
//  #  request the receiver waits for
constexpr std::uint8_t request0[] = {0xFF, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x3F, 0x03, 0x20, 0x5A, 0x01, 0xA2, 0x00, 0x16, 0x3E, 0x16, 0x14, 0x16, 0x00, 0xC2, 0x06, 0x1D};
constexpr std::uint8_t request1[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x03, 0xF0, 0x02, 0xF1, 0x5A};
constexpr std::uint8_t request2[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x22, 0x00, 0x22};
//  #  its answer: FF 55 08, the request's register, and the XOR of the two before
constexpr std::uint8_t response0[] = {0xFF, 0x55, 0x08, 0x3F, 0x37};
constexpr std::uint8_t response1[] = {0xFF, 0x55, 0x08, 0x03, 0x0B};
constexpr std::uint8_t response2[] = {0xFF, 0x55, 0x08, 0x22, 0x2A};
// clang-format on
static_assert(std::size(request0) == 26 && std::size(request1) == 14 && std::size(request2) == 12);
static_assert((response0[2] ^ response0[3]) == response0[4]);
static_assert((response1[2] ^ response1[3]) == response1[4]);
static_assert((response2[2] ^ response2[3]) == response2[4]);

constexpr std::span<const std::uint8_t> requests[] = {request0, request1, request2};
constexpr std::span<const std::uint8_t> responses[] = {response0, response1, response2};
constexpr int requestcount = 3;
constexpr std::size_t maxrequest = std::size(request0);

constexpr std::uint8_t wronganswer[] = {0xFF, 0x55, 0x07};  // the third byte should be 08

bool endswith(const bytes& heard, std::span<const std::uint8_t> tail) {
  return heard.size() >= tail.size() &&
         std::equal(tail.begin(), tail.end(), heard.end() - static_cast<long>(tail.size()));
}

outcome answer(const line& l, std::span<const std::uint8_t> reply, std::chrono::milliseconds gap) {
  if (gap.count() == 0) return linesend(l, reply);
  for (std::size_t k = 0; k < reply.size(); ++k) {
    if (const outcome w = k > 0 ? linepause(l, gap) : outcome::due; w != outcome::due) return w;
    if (const outcome w = linesend(l, reply.subspan(k, 1)); w != outcome::done) return w;
  }
  return outcome::done;
}

}  // namespace

answers silent() {
  answers a;
  std::fill(std::begin(a.from), std::end(a.from), -1);
  return a;
}

answers noisyanswers(std::mt19937& rng, std::size_t noise, bool wrong, bool quiet) {
  answers a;
  for (int i = 0; i < 3; ++i) {
    bytes reply = randombytes(rng, noise);
    if (wrong && i == 1) reply.insert(reply.end(), std::begin(wronganswer), std::end(wronganswer));
    if (!quiet) reply.insert(reply.end(), response(i).begin(), response(i).end());
    a.reply[i] = reply;
  }
  return a;
}

std::span<const std::uint8_t> request(int i) {
  return requests[i];
}
std::span<const std::uint8_t> response(int i) {
  return responses[i];
}

outcome playexchange(const line& l, const answers& a, steady::time_point until, bytes* heard) {
  int attempts[requestcount] = {};
  bytes pending;
  for (;;) {
    std::uint8_t chunk[256];
    std::size_t n = 0;
    if (const outcome w = readready(l.stop, l.master, chunk, n, until); w != outcome::done)
      return w;
    if (n == 0) {
      errno = EIO;
      return outcome::failed;
    }
    for (std::size_t k = 0; k < n; ++k) {
      pending.push_back(chunk[k]);
      if (pending.size() > maxrequest) pending.erase(pending.begin());
      if (heard != nullptr) heard->push_back(chunk[k]);
      for (int i = 0; i < requestcount; ++i) {
        if (!endswith(pending, requests[i])) continue;
        pending.clear();
        const int attempt = attempts[i]++;
        if (a.from[i] < 0 || attempt < a.from[i]) break;
        const auto reply = a.reply[i] ? std::span<const std::uint8_t>(*a.reply[i]) : responses[i];
        if (const outcome w = answer(l, reply, a.gap); w != outcome::done) return w;
        if (i == requestcount - 1) return outcome::done;
        break;
      }
    }
  }
}

}  // namespace velquin::sim
