#include "sim/program/records.h"

#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace velquin::sim {
namespace {

int hexdigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two lower-case hexadecimal digits at `at`.
bool hexpair(std::string_view l, std::size_t at, std::uint8_t& v) {
  if (at + 2 > l.size()) return false;
  const int high = hexdigit(l[at]);
  const int low = hexdigit(l[at + 1]);
  if (high < 0 || low < 0) return false;
  v = static_cast<std::uint8_t>(high * 16 + low);
  return true;
}

// The view that the line holds from `at` on.
bool viewfrom(std::string_view l, std::size_t at, view& v) {
  const std::string_view rest = l.substr(at);
  v = {};
  // A line without characters ends with a space, which editors strip.
  if (rest.ends_with(' ') || rest.ends_with('\'')) return parseview(rest, v);
  return parseview(std::string(rest) + ' ', v);
}

// "=xx" at `at` with a space or the end after it, and no letter or digit
// before it.
bool standsalone(std::string_view l, std::size_t at) {
  std::uint8_t b = 0;
  return hexpair(l, at + 1, b) && (at + 3 == l.size() || l[at + 3] == ' ') &&
         (at == 0 || !std::isalnum(static_cast<unsigned char>(l[at - 1])));
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

lineis recordline(std::string_view l, bytes& raw) {
  if (l.ends_with('\r')) l.remove_suffix(1);
  for (std::size_t at = l.find('='); at != std::string_view::npos; at = l.find('=', at + 1)) {
    view v;
    std::uint8_t b = 0;
    if (!hexpair(l, at + 1, b)) continue;
    if (viewfrom(l, at, v)) {
      raw = std::move(v.raw);
      return lineis::view;
    }
    // "=ff =15=ea ": a view that does not read from its first item is
    // garbled, whatever reads after it.
    if (standsalone(l, at)) return lineis::malformed;
  }
  return lineis::other;
}

int readrecord(std::FILE* in, const std::function<bool(bytes&)>& batch) {
  char* buf = nullptr;
  std::size_t room = 0;
  int number = 0;
  int result = 0;
  for (ssize_t n = 0; (n = getline(&buf, &room, in)) >= 0;) {
    ++number;
    std::string_view l(buf, static_cast<std::size_t>(n));
    if (l.ends_with('\n')) l.remove_suffix(1);
    bytes raw;
    const lineis kind = recordline(l, raw);
    if (kind == lineis::malformed) {
      result = number;
      break;
    }
    if (kind == lineis::view && !batch(raw)) break;
  }
  const int e = errno;
  if (result == 0 && std::ferror(in)) result = -1;
  std::free(buf);
  errno = e;
  return result;
}

}  // namespace velquin::sim
