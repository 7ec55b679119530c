#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "sim/log.h"

namespace velquin::sim {
namespace {

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

// Where a view line's first item "=xx " begins: at the start, or after a
// prefix such as a time stamp from ts(1), which may hold '=' itself
// ("t=1.5 =ff ..."). npos when the line holds no view.
std::size_t viewstart(std::string_view l) {
  std::uint8_t b = 0;
  for (std::size_t at = l.find('='); at != std::string_view::npos; at = l.find('=', at + 1)) {
    if ((at == 0 || l[at - 1] == ' ') && hexpair(l, at + 1, b) &&
        (at + 3 == l.size() || l[at + 3] == ' ')) {
      return at;
    }
  }
  return std::string_view::npos;
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
    const std::size_t first = viewstart(l);
    if (first == std::string_view::npos) continue;
    l.remove_prefix(first);
    // A line without characters ends with a space, which editors strip.
    std::string whole(l);
    if (!whole.ends_with(' ') && !whole.ends_with('\'')) whole += ' ';
    view v;
    if (!parseview(whole, v)) return number;
    out.push_back(std::move(v.raw));
  }
  return 0;
}

}  // namespace velquin::sim
