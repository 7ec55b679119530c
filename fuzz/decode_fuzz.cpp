// Feeds arbitrary bytes through both decoders as the monitor loop does, in
// batches whose sizes come from the input, and checks on every call what the
// rest of the tool relies on. Then checks that a stream of well-formed frames
// made from the same input decodes the same however it is cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/decode.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using velquin::carrysize;

// Well within the batch buffer: fed whole, the stream is one batch. Longer
// streams find nothing new and, cut into batches of a few bytes, slow the
// search down.
constexpr std::size_t streamlimit = 512;

// Letters, modifiers on both sides, release and extended prefixes, Enter, Esc.
constexpr std::uint8_t keycodes[] = {0x15, 0x1C, 0x29, 0x5A, 0x76, 0x12, 0x59,
                                     0x14, 0x11, 0xF0, 0xF0, 0xE0, 0x58, 0x5D};

void check(bool ok) {
  if (!ok) std::abort();
}

struct decoders {
  velquin::framedecoder frames;
  velquin::keytranslator keys;
  bool keep = true;  // whether codes and characters are collected
  bytes codes;
  bytes chars;
};

// One monitor pass: a batch of at most carrysize bytes through both decoders,
// in the batch buffer.
void pass(decoders& d, std::uint8_t* buf, int len) {
  const int framesheld = d.frames.carry.count;
  const int n = d.frames.convert(len, buf);
  check(n >= 0 && 2 * n <= std::min(framesheld + len, carrysize));
  check(d.frames.carry.count >= 0 && d.frames.carry.count <= carrysize);
  if (d.keep) d.codes.insert(d.codes.end(), buf, buf + n);

  const int keysheld = d.keys.carry.count;
  const int m = d.keys.convert(n, buf);
  check(m >= 0 && m <= std::min(keysheld + n, carrysize));
  check(d.keys.carry.count >= 0 && d.keys.carry.count <= carrysize);
  check(d.keys.modstate >= 0 && d.keys.modstate <= 7);
  for (int k = 0; k < m; ++k) check(buf[k] < 0x80);
  if (d.keep) d.chars.insert(d.chars.end(), buf, buf + m);
}

// The stream in batches of `first`, then `every` bytes.
void cutandfeed(decoders& d, const bytes& stream, std::size_t first, std::size_t every) {
  static std::uint8_t buf[carrysize];
  for (std::size_t at = 0, len = first; at < stream.size(); at += len, len = every) {
    len = std::min(len, stream.size() - at);
    std::copy_n(stream.begin() + static_cast<long>(at), len, buf);
    pass(d, buf, static_cast<int>(len));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // The decoders' messages go out with write(2) on descriptor 2, a flood on
  // noise. With -close_fd_mask=2, libFuzzer keeps a copy of it for its own
  // reports and the sanitizers' before it closes it; a run may still ask
  // for another mask.
  static std::vector<char*> args(*argv, *argv + *argc);
  static char quiet[] = "-close_fd_mask=2";
  const auto masked = [](const char* a) { return std::strncmp(a, "-close_fd_mask=", 15) == 0; };
  if (std::none_of(args.begin(), args.end(), masked)) args.push_back(quiet);
  *argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static std::uint8_t buf[carrysize];
  decoders any;
  any.keep = false;
  while (in.remaining_bytes() > 0) {
    const auto len = in.ConsumeIntegralInRange<std::size_t>(0, carrysize);
    const std::size_t got = in.ConsumeData(buf, len);
    pass(any, buf, static_cast<int>(got));
  }

  // Codes other than 00 and FF (those can be taken for lead bytes by design),
  // a frame per four codes; mostly keys the table has, so that characters and
  // modifiers come out rather than a message for every code.
  bytes stream;
  for (std::size_t k = 0; k < size && stream.size() + 5 <= streamlimit; ++k) {
    if (k % 4 == 0) stream.insert(stream.end(), 1 + data[k] % 3, 0xFF);
    const auto code = data[k] < 0xF0 ? keycodes[data[k] % std::size(keycodes)]
                                     : static_cast<std::uint8_t>(std::clamp<int>(data[k], 1, 0xFE));
    stream.push_back(code);
    stream.push_back(static_cast<std::uint8_t>(0xFF - code));
  }
  const std::size_t every = 1 + (size > 0 ? data[0] % 13 : 0);
  decoders whole;
  cutandfeed(whole, stream, stream.size(), stream.size());
  decoders cut;
  cutandfeed(cut, stream, 1 + every / 2, every);
  check(whole.codes == cut.codes);
  check(whole.chars == cut.chars);
  return 0;
}
