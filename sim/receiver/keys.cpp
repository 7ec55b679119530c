#include <algorithm>
#include <charconv>
#include <iterator>

#include "sim/receiver/keys.h"

namespace velquin::sim {
namespace {

struct keyrow {
  char plain;
  char shifted;
  std::uint8_t code;  // PS/2 set-2 make code
};

// A US keyboard, row by row.
// clang-format off
//  plain  shifted  set-2 code
constexpr keyrow keyrows[] = {
    {'`',  '~',  0x0E},
    {'1',  '!',  0x16},
    {'2',  '@',  0x1E},
    {'3',  '#',  0x26},
    {'4',  '$',  0x25},
    {'5',  '%',  0x2E},
    {'6',  '^',  0x36},
    {'7',  '&',  0x3D},
    {'8',  '*',  0x3E},
    {'9',  '(',  0x46},
    {'0',  ')',  0x45},
    {'-',  '_',  0x4E},
    {'=',  '+',  0x55},
    {'q',  'Q',  0x15},
    {'w',  'W',  0x1D},
    {'e',  'E',  0x24},
    {'r',  'R',  0x2D},
    {'t',  'T',  0x2C},
    {'y',  'Y',  0x35},
    {'u',  'U',  0x3C},
    {'i',  'I',  0x43},
    {'o',  'O',  0x44},
    {'p',  'P',  0x4D},
    {'[',  '{',  0x54},
    {']',  '}',  0x5B},
    {'\\', '|',  0x5D},
    {'a',  'A',  0x1C},
    {'s',  'S',  0x1B},
    {'d',  'D',  0x23},
    {'f',  'F',  0x2B},
    {'g',  'G',  0x34},
    {'h',  'H',  0x33},
    {'j',  'J',  0x3B},
    {'k',  'K',  0x42},
    {'l',  'L',  0x4B},
    {';',  ':',  0x4C},
    {'\'', '"',  0x52},
    {'z',  'Z',  0x1A},
    {'x',  'X',  0x22},
    {'c',  'C',  0x21},
    {'v',  'V',  0x2A},
    {'b',  'B',  0x32},
    {'n',  'N',  0x31},
    {'m',  'M',  0x3A},
    {',',  '<',  0x41},
    {'.',  '>',  0x49},
    {'/',  '?',  0x4A},
    {' ',  ' ',  0x29},
};
// clang-format on
static_assert(std::size(keyrows) == 48);

// Characters typed by a key of their own, without Shift.
struct controlkey {
  char c;
  std::uint8_t code;
};

// clang-format off
//  character  set-2 code
constexpr controlkey controlkeys[] = {
    {'\n',   0x5A},  // Enter
    {'\r',   0x5A},  // Enter
    {'\t',   0x0D},  // Tab
    {'\b',   0x66},  // Backspace
    {'\x7f', 0x66},  // Backspace
    {'\x1b', 0x76},  // Esc
};
// clang-format on

constexpr std::uint8_t leftshift = 0x12;
constexpr std::uint8_t leftctrl = 0x14;

void tap(std::uint8_t code, std::uint8_t modifier, std::vector<bytes>& events) {
  if (modifier != 0) events.push_back({modifier});
  events.push_back({code});
  events.push_back({releaseprefix, code});
  if (modifier != 0) events.push_back({releaseprefix, modifier});
}

}  // namespace

bool keyevents(char c, std::vector<bytes>& events) {
  for (const controlkey& k : controlkeys) {
    if (c == k.c) {
      tap(k.code, 0, events);
      return true;
    }
  }
  for (const keyrow& k : keyrows) {
    if (c == k.plain) {
      tap(k.code, 0, events);
      return true;
    }
    if (c == k.shifted) {
      tap(k.code, leftshift, events);
      return true;
    }
  }
  // Ctrl-A to Ctrl-Z: the letter with Ctrl held.
  if (c >= 0x01 && c <= 0x1A) {
    for (const keyrow& k : keyrows) {
      if (k.plain == c - 1 + 'a') {
        tap(k.code, leftctrl, events);
        return true;
      }
    }
  }
  return false;
}

bytes frame(std::span<const std::uint8_t> codes) {
  bytes f{leadbyte};
  for (const std::uint8_t c : codes) {
    f.push_back(c);
    f.push_back(static_cast<std::uint8_t>(leadbyte - c));
  }
  return f;
}

bool gatherer::add(std::span<const std::uint8_t> codes) {
  const bytes f = frame(codes);
  batch.insert(batch.end(), f.begin(), f.end());
  return ++frames < group || flush();
}

bool gatherer::addcodes(std::span<const std::uint8_t> codes) {
  for (std::size_t from = 0, k = 0; k < codes.size(); ++k) {
    if (codes[k] == releaseprefix || codes[k] == extendedprefix) continue;
    if (!add(codes.subspan(from, k + 1 - from))) return false;
    from = k + 1;
  }
  return true;
}

bool gatherer::flush() {
  if (frames == 0 || stopped) return !stopped;
  frames = 0;
  stopped = !out(batch, true);
  batch.clear();
  return !stopped;
}

namespace {

// One key's frames, garbled as a noisy line garbles about half of them.
void mangle(std::mt19937& rng, bytes& into) {
  std::vector<bytes> events;
  keyevents(static_cast<char>(0x20 + rng() % 95), events);
  for (const bytes& e : events) {
    bytes f = frame(e);
    const auto at = static_cast<long>(rng() % f.size());
    switch (rng() % 8) {
      case 0:
        f.erase(f.begin() + at);
        break;
      case 1:
        f[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(rng());
        break;
      case 2:
        f.insert(f.begin() + at, f[static_cast<std::size_t>(at)]);
        break;
      case 3:
        f.resize(1 + rng() % (f.size() - 1));
        break;
      default:
        break;
    }
    into.insert(into.end(), f.begin(), f.end());
  }
}

}  // namespace

std::size_t typetext(std::string_view text, gatherer& g) {
  for (std::size_t k = 0; k < text.size(); ++k) {
    std::vector<bytes> events;
    if (!keyevents(text[k], events)) return k;
    for (const bytes& e : events) {
      if (!g.add(e)) return k;
    }
  }
  return text.size();
}

bool typecodes(std::span<const std::uint8_t> codes, int group, const sink& out) {
  gatherer g{out, group};
  std::size_t whole = codes.size();
  while (whole > 0 && (codes[whole - 1] == releaseprefix || codes[whole - 1] == extendedprefix)) {
    --whole;
  }
  const auto cut = codes.subspan(whole);
  return g.addcodes(codes.first(whole)) && g.flush() && (cut.empty() || out(frame(cut), true));
}

bool randombatch(std::mt19937& rng, std::size_t n, const sink& out) {
  std::uint8_t piece[piecesize];
  std::size_t left = n;
  do {
    const std::size_t size = std::min(left, piecesize);
    for (std::size_t k = 0; k < size; ++k) piece[k] = static_cast<std::uint8_t>(rng());
    left -= size;
    if (!out({piece, size}, left == 0)) return false;
  } while (left > 0);
  return true;
}

bytes randombytes(std::mt19937& rng, std::size_t n) {
  bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

bool mangledbatch(std::mt19937& rng, std::size_t n, const sink& out) {
  bytes piece;
  for (std::size_t made = 0;;) {
    while (piece.size() < piecesize && made + piece.size() < n) mangle(rng, piece);
    const std::size_t size = std::min({piece.size(), piecesize, n - made});
    made += size;
    if (!out({piece.data(), size}, made == n)) return false;
    if (made == n) return true;
    piece.erase(piece.begin(), piece.begin() + static_cast<long>(size));
  }
}

bool hexbytes(std::string_view text, bytes& out) {
  const auto separator = [](char c) { return c == ' ' || c == ',' || c == '\t'; };
  std::size_t k = 0;
  while (k < text.size()) {
    if (separator(text[k])) {
      ++k;
      continue;
    }
    unsigned v = 0;
    const char* end = text.data() + text.size();
    const auto [next, ec] = std::from_chars(text.data() + k, end, v, 16);
    if (ec != std::errc() || v > 0xFF || (next != end && !separator(*next))) return false;
    out.push_back(static_cast<std::uint8_t>(v));
    k = static_cast<std::size_t>(next - text.data());
  }
  return true;
}

bool unescape(std::string_view s, std::string& out) {
  static constexpr std::string_view from = "nrteb\\";
  static constexpr std::string_view to = "\n\r\t\x1b\b\\";
  for (std::size_t k = 0; k < s.size(); ++k) {
    if (s[k] != '\\') {
      out += s[k];
      continue;
    }
    const std::size_t at = k + 1 < s.size() ? from.find(s[k + 1]) : std::string_view::npos;
    if (at == std::string_view::npos) {
      out = s.substr(k, 2);
      return false;
    }
    out += to[at];
    ++k;
  }
  return true;
}

}  // namespace velquin::sim
