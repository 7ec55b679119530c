#include "decode/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace velquin {
namespace {

using bytes = std::vector<std::uint8_t>;

// One call of a decoder: its input, its output, what it says on standard
// error and how many bytes it carries afterwards.
struct Step {
  Step(bytes i, bytes o, int h = 0, std::string m = "")
      : in(std::move(i)), out(std::move(o)), held(h), messages(std::move(m)) {}
  bytes in;
  bytes out;
  int held;
  std::string messages;
};

struct Case {
  Case(const char* n, std::vector<Step> s, int m = 0) : name(n), steps(std::move(s)), mods(m) {}
  const char* name;
  std::vector<Step> steps;
  int mods;  // held modifiers after the last step (translator only)
};

// Runs the case's calls through a fresh decoder; the decoder afterwards.
template <typename decoder>
decoder run(const Case& c) {
  SCOPED_TRACE(c.name);
  decoder d;
  for (std::size_t s = 0; s < c.steps.size(); ++s) {
    SCOPED_TRACE("call " + std::to_string(s + 1));
    const Step& step = c.steps[s];
    std::vector<std::uint8_t> buf(carrysize, 0xAA);
    std::copy(step.in.begin(), step.in.end(), buf.begin());
    test::stderrcapture err;
    const int n = d.convert(static_cast<int>(step.in.size()), buf.data());
    EXPECT_EQ(test::hex(bytes(buf.begin(), buf.begin() + std::max(n, 0))), test::hex(step.out));
    EXPECT_EQ(d.carry.count, step.held);
    EXPECT_EQ(err.text(), step.messages);
  }
  return d;
}

TEST(FrameDecoder, DecodesFramesAndCarriesUnfinishedRuns) {
  const Case cases[] = {
      {"one frame", {{{0xFF, 0x15, 0xEA}, {0x15}}}},
      {"release frame", {{{0xFF, 0xF0, 0x0F, 0x15, 0xEA}, {0xF0, 0x15}}}},
      {"frame split after its code", {{{0xFF, 0x15}, {}, 1}, {{0xEA}, {0x15}}}},
      {"complete pair withdrawn with the unfinished one",
       {{{0xFF, 0x12, 0xED, 0x34}, {}, 3}, {{0xCB}, {0x12, 0x34}}}},
      {"a lead byte after a run holds the run back",
       {{{0xFF, 0x15, 0xEA, 0xFF}, {}, 3}, {{0x16, 0xE9}, {0x15, 0x16}}}},
      {"two lead bytes after a run do not", {{{0xFF, 0x15, 0xEA, 0xFF, 0xFF}, {0x15}}}},
      {"a stray byte after a run holds the run back", {{{0xFF, 0x15, 0xEA, 0x40}, {}, 3}}},
      {"lead bytes alone", {{{0xFF, 0xFF}, {}}, {{0xFF}, {}}}},
      {"two frames in one batch", {{{0xFF, 0x15, 0xEA, 0xFF, 0x16, 0xE9}, {0x15, 0x16}}}},
      {"FF 00 inside a run is a pair", {{{0xFF, 0x15, 0xEA, 0xFF, 0x00}, {0x15, 0xFF}}}},
      {"nothing at all", {{{}, {}}}},
      {"code without its complement is dropped up to the next lead byte",
       {{{0xFF, 0x15, 0x40, 0x41, 0xFF, 0x16, 0xE9}, {0x16}}}},
      {"codes taken before a bad pair stay",
       {{{0xFF, 0x15, 0xEA, 0x16, 0x40, 0x41, 0x42}, {0x15}}}},
      {"bad pair found once the carried run is completed",
       {{{0xFF, 0x15, 0xEA, 0x40}, {}, 3}, {{0x41, 0xFF, 0x16, 0xE9}, {0x15, 0x16}}}},
      {"noise without lead bytes", {{{0x40, 0x41, 0x42}, {}}}},
  };
  for (const Case& c : cases) run<framedecoder>(c);
}

TEST(FrameDecoder, ReportsAFullCarryOverBuffer) {
  // A run with no lead byte in front that fills the buffer exactly is
  // delivered whole, and the full buffer is still reported.
  Step full({}, {});
  for (int k = 0; k < carrysize / 2; ++k) {
    full.in.insert(full.in.end(), {0x15, 0xEA});
    full.out.push_back(0x15);
  }
  full.messages = "velquin: velquinconv: buffer overflow\n";
  run<framedecoder>({"exactly full", {full}});
}

TEST(ScanCodeTranslator, TypesCharactersAndTracksModifiers) {
  const std::vector<Case> cases = {
      {"press, shift, release",
       {{{0x15}, {0x71}}, {{0x12, 0x15}, {0x51}}, {{0xF0, 0x12, 0x15}, {0x71}}}},
      {"ctrl", {{{0x14, 0x15}, {0x11}}}, 2},
      {"alt alone", {{{0x11, 0x15}, {0x71}}}, 4},
      {"release prefix carried", {{{0xF0}, {}, 1}, {{0x15}, {}}}},
      {"double release prefix", {{{0xF0, 0xF0, 0x15}, {0x71}, 0, "unknown keycode f0\n"}}},
      {"release of an unknown code", {{{0xF0, 0x75}, {}, 0, "unknown keycode 75\n"}}},
      {"caps lock does nothing", {{{0x58}, {}}}},
      {"enter", {{{0x5A}, {0x0D}}}},
      {"ctrl enter", {{{0x14, 0x5A}, {0x0A}}}, 2},
      {"backspace", {{{0x66}, {0x7F}}}},
      {"ctrl backspace", {{{0x14, 0x66}, {0x08}}}, 2},
      {"ctrl alt space gives nothing", {{{0x14, 0x11, 0x29}, {}}}, 6},
      {"ctrl space", {{{0x14, 0x29}, {0x00}}}, 2},
      {"extended prefix reported, second byte alone",
       {{{0xE0, 0x14}, {}, 0, "unknown keycode e0\n"}},
       2},
      {"0x5D stops at its first row", {{{0x14, 0x11, 0x5D}, {0x1C}}}, 6},
      {"scan code 0 types nothing", {{{0x00}, {}}}},
      {"right shift releases left shift", {{{0x12, 0xF0, 0x59, 0x15}, {0x71}}}},
      {"release looks up the column of the modifiers held",
       {{{0x12, 0x14, 0xF0, 0x14, 0x15}, {0x51}}},
       1},
      {"right alt",
       {{{0xE0, 0x11, 0x15, 0xE0, 0xF0, 0x11},
         {0x71},
         0,
         "unknown keycode e0\nunknown keycode e0\n"}}},
      {"modifiers kept across calls",
       {{{0x12}, {}}, {{0x1C}, {0x41}}, {{0xF0, 0x12, 0x1C}, {0x61}}}},
  };
  for (const Case& c : cases) EXPECT_EQ(run<keytranslator>(c).modstate, c.mods) << c.name;
}

TEST(ScanCodeTranslator, EscapeUnderEveryModifierCombination) {
  // Column order: none, Shift, Ctrl, Ctrl+Shift, Alt, Alt+Shift, Alt+Ctrl, all three.
  const bytes presses[] = {{},     {0x12},       {0x14},       {0x14, 0x12},
                           {0x11}, {0x11, 0x12}, {0x11, 0x14}, {0x11, 0x14, 0x12}};
  for (std::size_t column = 0; column < std::size(presses); ++column) {
    bytes in = presses[column];
    in.push_back(0x76);
    const bytes out = column == 6 ? bytes{} : bytes{0x1B};
    EXPECT_EQ(run<keytranslator>({"esc", {{in, out}}}).modstate, static_cast<int>(column));
  }
}

TEST(CarryBuffer, AppendsWhatFitsAndKeepsTheRest) {
  static carrybuf b{{}, 0, "test"};  // static: 8 KB
  const bytes big(500, 0x5A);

  b.count = carrysize - 192;
  {
    test::stderrcapture err;
    carryappend(b, big.data(), 0);
    EXPECT_EQ(b.count, carrysize - 192);
    EXPECT_EQ(err.text(), "");
  }
  {
    test::stderrcapture err;
    carryappend(b, big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(b.count, carrysize);
    EXPECT_EQ(b.data[carrysize - 1], 0x5A);
    EXPECT_EQ(err.text(), "velquin: test: buffer overflow\n");
  }
  {
    b.count = carrysize - 3;
    test::stderrcapture err;
    carryappend(b, big.data(), 3);
    EXPECT_EQ(b.count, carrysize);
    EXPECT_EQ(err.text(), "velquin: test: buffer overflow\n");
  }

  b.count = 0;
  const std::uint8_t five[] = {1, 2, 3, 4, 5};
  carryappend(b, five, 5);
  carrykeep(b, 2);
  ASSERT_EQ(b.count, 3);
  EXPECT_EQ(test::hex(bytes(b.data, b.data + 3)), "03 04 05 ");
  carrykeep(b, 3);
  EXPECT_EQ(b.count, 0);
}

// Frames built only of codes other than 00 and FF (which can be taken for
// lead bytes by design) decode the same however the stream is cut.
TEST(Decoders, CuttingAWellFormedStreamChangesNothing) {
  struct Result {
    bytes codes;
    bytes chars;
    std::string messages;
  };
  const auto feed = [](const bytes& stream, const std::vector<std::size_t>& cuts) {
    framedecoder frames;
    keytranslator keys;
    Result r;
    test::stderrcapture err;
    std::size_t from = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
      const std::size_t to = k < cuts.size() ? cuts[k] : stream.size();
      std::vector<std::uint8_t> buf(carrysize);
      std::copy(stream.begin() + static_cast<long>(from), stream.begin() + static_cast<long>(to),
                buf.begin());
      const int n = frames.convert(static_cast<int>(to - from), buf.data());
      r.codes.insert(r.codes.end(), buf.begin(), buf.begin() + n);
      const int m = keys.convert(n, buf.data());
      r.chars.insert(r.chars.end(), buf.begin(), buf.begin() + m);
      from = to;
    }
    r.messages = err.text();
    return r;
  };

  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(rng); };
    // Key codes from the table most of the time, so that characters and
    // modifiers come out too; any other code now and then.
    const std::uint8_t common[] = {0x15, 0x1C, 0x12, 0x59, 0x14, 0x11,
                                   0xF0, 0x5A, 0x29, 0x76, 0xE0};
    bytes stream;
    bytes codes;
    for (int f = pick(1, 40); f > 0; --f) {
      stream.insert(stream.end(), static_cast<std::size_t>(pick(1, 3)), 0xFF);
      for (int c = pick(1, 4); c > 0; --c) {
        const auto code = pick(0, 3) > 0 ? common[pick(0, std::size(common) - 1)]
                                         : static_cast<std::uint8_t>(pick(0x01, 0xFE));
        stream.push_back(code);
        stream.push_back(static_cast<std::uint8_t>(0xFF - code));
        codes.push_back(code);
      }
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at < stream.size(); ++at) {
      if (pick(0, 3) == 0) cuts.push_back(at);
    }
    const Result whole = feed(stream, {});
    EXPECT_EQ(test::hex(whole.codes), test::hex(codes));
    const Result cut = feed(stream, cuts);
    EXPECT_EQ(test::hex(cut.codes), test::hex(whole.codes));
    EXPECT_EQ(test::hex(cut.chars), test::hex(whole.chars));
    EXPECT_EQ(cut.messages, whole.messages);
  }
}

}  // namespace
}  // namespace velquin
