// Feeds arbitrary bytes through both decoders as the monitor loop does, in
// batches whose sizes come from the input, and checks on every call what the
// rest of the tool relies on. Then checks that a stream of well-formed frames
// made from the same input decodes the same however it is cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/decode.h"

namespace {

using bytes = std::vector<std::uint8_t>;

void check(bool ok) {
  if (!ok) std::abort();
}

struct decoded {
  bytes codes;
  bytes chars;
};

// One monitor pass: a batch through both decoders, in the batch buffer.
void pass(std::uint8_t* buf, int len, decoded* into) {
  const int framesheld = velquin::velquinheld();
  const int n = velquin::velquinconv(len, buf);
  check(n >= 0 && 2 * n <= std::min(framesheld + len, velquin::carrysize));
  check(velquin::velquinheld() >= 0 && velquin::velquinheld() <= velquin::carrysize);
  if (into != nullptr) into->codes.insert(into->codes.end(), buf, buf + n);

  const int keysheld = velquin::ps2held();
  const int m = velquin::ps2conv(n, buf);
  check(m >= 0 && m <= std::min(keysheld + n, velquin::carrysize));
  check(velquin::ps2held() >= 0 && velquin::ps2held() <= velquin::carrysize);
  check(velquin::ps2mods() >= 0 && velquin::ps2mods() <= 7);
  for (int k = 0; k < m; ++k) check(buf[k] < 0x80);
  if (into != nullptr) into->chars.insert(into->chars.end(), buf, buf + m);
}

decoded cutandfeed(const bytes& stream, std::size_t every, std::size_t offset) {
  velquin::velquinreset();
  velquin::ps2reset();
  decoded d;
  static std::uint8_t buf[velquin::carrysize];
  std::size_t at = 0;
  for (std::size_t len = offset; at < stream.size(); len = every) {
    len = std::min(len, stream.size() - at);
    std::copy_n(stream.begin() + static_cast<long>(at), len, buf);
    pass(buf, static_cast<int>(len), &d);
    at += len;
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  velquin::velquinreset();
  velquin::ps2reset();
  static std::uint8_t buf[velquin::carrysize];
  while (in.remaining_bytes() > 0) {
    const auto len = in.ConsumeIntegralInRange<std::size_t>(0, velquin::carrysize);
    const bytes batch = in.ConsumeBytes<std::uint8_t>(len);
    std::copy(batch.begin(), batch.end(), buf);
    pass(buf, static_cast<int>(batch.size()), nullptr);
  }

  // Codes other than 00 and FF (those can be taken for lead bytes by design),
  // a frame per four codes.
  bytes stream;
  for (std::size_t k = 0; k < size; ++k) {
    if (k % 4 == 0) stream.insert(stream.end(), 1 + data[k] % 3, 0xFF);
    const auto code = static_cast<std::uint8_t>(std::clamp<int>(data[k], 0x01, 0xFE));
    stream.push_back(code);
    stream.push_back(static_cast<std::uint8_t>(0xFF - code));
  }
  const std::size_t every = 1 + (size > 0 ? data[0] % 13 : 0);
  const decoded whole = cutandfeed(stream, stream.size() + 1, stream.size() + 1);
  const decoded cut = cutandfeed(stream, every, 1 + every / 2);
  check(whole.codes == cut.codes);
  check(whole.chars == cut.chars);
  return 0;
}
