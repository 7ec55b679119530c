#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <thread>

#include "sim/sim.h"

namespace velquin::sim {
namespace {

constexpr std::uint8_t wronganswer[] = {0xFF, 0x55, 0x07};  // the third byte should be 08

bool sendlogged(line& l, std::span<const std::uint8_t> b, std::FILE* log) {
  if (!linesend(l, b)) return false;
  if (log != nullptr) std::fwrite(b.data(), 1, b.size(), log);
  return true;
}

bool sendpaced(line& l, int rate, std::span<const std::uint8_t> b, std::FILE* log) {
  if (rate == 0) return sendlogged(l, b, log);
  const std::size_t perslice = std::max<std::size_t>(1, static_cast<std::size_t>(rate) / 1000);
  auto next = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < b.size(); k += perslice) {
    if (!sendlogged(l, b.subspan(k, std::min(perslice, b.size() - k)), log)) return false;
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  return true;
}

// Two lower-case hexadecimal digits at `at`.
bool hexpair(std::string_view l, std::size_t at, std::uint8_t& v) {
  if (at + 2 > l.size() || !std::isxdigit(static_cast<unsigned char>(l[at])) ||
      !std::isxdigit(static_cast<unsigned char>(l[at + 1])) || std::isupper(l[at]) ||
      std::isupper(l[at + 1])) {
    return false;
  }
  v = static_cast<std::uint8_t>(std::stoi(std::string(l.substr(at, 2)), nullptr, 16));
  return true;
}

}  // namespace

bool parseview(std::string_view l, view& v) {
  std::size_t k = 0;
  std::uint8_t b = 0;
  for (const auto& [mark, into] : {std::pair{'=', &v.raw}, std::pair{'#', &v.codes}}) {
    while (k < l.size() && l[k] == mark) {
      if (!hexpair(l, k + 1, b) || l.substr(k + 3, 1) != " ") return false;
      into->push_back(b);
      k += 4;
    }
  }
  while (k < l.size() && l[k] == '>') {
    if (!hexpair(l, k + 1, b) || l.substr(k + 3, 2) != " '") return false;
    k += 5;
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o'", b);
    const std::string shown =
        b >= 0x20 && b <= 0x7E ? std::string{static_cast<char>(b), '\''} : octal;
    if (l.substr(k, shown.size()) != shown) return false;
    k += shown.size();
    v.chars.push_back(b);
  }
  return k == l.size() && !v.raw.empty();
}

int replaybatches(std::string_view log, std::vector<bytes>& out) {
  int number = 0;
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = std::min(log.find('\n', at), log.size());
    std::string_view l = log.substr(at, end - at);
    at = end + 1;
    ++number;
    if (l.ends_with('\r')) l.remove_suffix(1);
    // A view line begins with an item "=xx ", at the start or after a prefix
    // such as a time stamp from ts(1).
    const std::size_t first = l.find('=');
    std::uint8_t b = 0;
    if (first == std::string_view::npos || (first > 0 && l[first - 1] != ' ') ||
        !hexpair(l, first + 1, b) || l.substr(first + 3, 1) != " ") {
      continue;
    }
    l.remove_prefix(first);
    view v;
    if (!parseview(l, v)) return number;
    out.push_back(std::move(v.raw));
  }
  return 0;
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

bool sendbatch(line& l, const pacing& p, std::span<const std::uint8_t> b, std::FILE* log) {
  if (p.split > 0 && b.size() > p.split) {
    if (!sendpaced(l, p.rate, b.first(p.split), log)) return false;
    std::this_thread::sleep_for(p.pause);
    b = b.subspan(p.split);
  }
  const bool sent = sendpaced(l, p.rate, b, log);
  std::this_thread::sleep_for(p.pause);
  return sent;
}

void batches::addframe(const bytes& f) {
  if (infill == 0) list.emplace_back();
  list.back().insert(list.back().end(), f.begin(), f.end());
  infill = (infill + 1) % group;
}

void batches::addbatch(bytes b) {
  list.push_back(std::move(b));
  infill = 0;
}

bool typetext(batches& b, std::string_view text, char& unknown) {
  b.infill = 0;
  for (const char c : text) {
    std::vector<bytes> events;
    if (!keyevents(c, events)) {
      unknown = c;
      return false;
    }
    for (const bytes& e : events) b.addframe(frame(e));
  }
  return true;
}

void typecodes(batches& b, std::span<const std::uint8_t> codes) {
  b.infill = 0;
  bytes event;
  for (const std::uint8_t c : codes) {
    event.push_back(c);
    if (c == releaseprefix || c == extendedprefix) continue;
    b.addframe(frame(event));
    event.clear();
  }
  // A prefix with nothing after it, cut short.
  if (!event.empty()) b.addbatch(frame(event));
}

bytes randombytes(std::mt19937& rng, std::size_t n) {
  bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

bytes mangledframes(std::mt19937& rng, std::size_t n) {
  bytes out;
  while (out.size() < n) {
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
      out.insert(out.end(), f.begin(), f.end());
    }
  }
  out.resize(n);
  return out;
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

std::string unescape(std::string_view s) {
  static constexpr std::string_view from = "nrteb";
  static constexpr std::string_view to = "\n\r\t\x1b\b";
  std::string out;
  for (std::size_t k = 0; k < s.size(); ++k) {
    if (s[k] != '\\' || k + 1 == s.size()) {
      out += s[k];
      continue;
    }
    const char c = s[++k];
    const std::size_t at = from.find(c);
    out += at == std::string_view::npos ? c : to[at];
  }
  return out;
}

}  // namespace velquin::sim
