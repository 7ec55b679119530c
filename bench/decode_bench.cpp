// Throughput of the two decoders together, fed 4 KB batches as the monitor
// loop feeds them (a terminal read returns at most 4 KB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "decode/decode.h"
#include "sim/program/records.h"
#include "sim/receiver/keys.h"

namespace {

using velquin::sim::bytes;

constexpr std::size_t batchsize = 4096;

// Typing as a receiver delivers it: every key press and release in its own
// frame, Shift pressed around capitals; then random bytes.
bytes typedstream(std::size_t atleast) {
  bytes stream;
  const velquin::sim::sink add = [&](std::span<const std::uint8_t> frame, bool) {
    stream.insert(stream.end(), frame.begin(), frame.end());
    return true;
  };
  velquin::sim::gatherer g{add};
  while (stream.size() < atleast) {
    velquin::sim::typetext(
        "The quick brown fox jumps over the lazy dog; THE QUICK BROWN FOX, 0123456789!\n", g);
  }
  return stream;
}

bytes randomstream(std::size_t size) {
  std::mt19937 rng(42);
  return velquin::sim::randombytes(rng, size);
}

void decodebatches(benchmark::State& state, const bytes& stream) {
  velquin::framedecoder frames;
  velquin::keytranslator keys;
  std::vector<std::uint8_t> buf(velquin::carrysize);
  std::size_t at = 0;
  for (auto _ : state) {
    if (at + batchsize > stream.size()) at = 0;
    std::memcpy(buf.data(), stream.data() + at, batchsize);
    at += batchsize;
    const int n = frames.convert(static_cast<int>(batchsize), buf.data());
    benchmark::DoNotOptimize(keys.convert(n, buf.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batchsize));
}

void BM_TypedFrames(benchmark::State& state) {
  static const bytes stream = typedstream(1 << 20);
  decodebatches(state, stream);
}
BENCHMARK(BM_TypedFrames);

// Noise makes the translator report unknown codes: they go to /dev/null here,
// but their cost counts.
void BM_RandomBytes(benchmark::State& state) {
  static const bytes stream = randomstream(1 << 20);
  const int saved = dup(2);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  decodebatches(state, stream);
  dup2(saved, 2);
  close(null);
  close(saved);
}
BENCHMARK(BM_RandomBytes);

// Checking a record's row is linear in its length, even where every "=" is
// one to look at: glued to a letter, none begins a view but the last.
void BM_GluedRecordLine(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += "x=ff";
  text += " =ff";
  velquin::sim::bytes raw;
  for (auto _ : state) benchmark::DoNotOptimize(velquin::sim::recordrow(text, raw));
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_GluedRecordLine)->RangeMultiplier(2)->Range(60 << 10, 960 << 10)->Complexity();

}  // namespace

BENCHMARK_MAIN();
