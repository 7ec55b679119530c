#include "sim/program/records.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sim/program/complain.h"
#include "sim/receiver/wait.h"

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

// The items of a view; `stripped`: a final space an editor took away is
// taken as there.
bool viewitems(std::string_view l, view& v, bool stripped) {
  std::size_t k = 0;
  std::uint8_t b = 0;
  for (const auto& [mark, into] : {std::pair{'=', &v.raw}, std::pair{'#', &v.codes}}) {
    while (k < l.size() && l[k] == mark) {
      const bool last = k + 3 == l.size();
      if (!hexpair(l, k + 1, b) || (!(last && stripped) && l.substr(k + 3, 1) != " ")) {
        return false;
      }
      into->push_back(b);
      k = last ? l.size() : k + 4;
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

// Where a view may begin: "=" and two hexadecimal digits, in either case, not
// glued to a letter or a digit before it ("exit=01").
bool startsview(std::string_view l, std::size_t at) {
  const auto hexchar = [&](std::size_t k) {
    return k < l.size() && std::isxdigit(static_cast<unsigned char>(l[k]));
  };
  return hexchar(at + 1) && hexchar(at + 2) &&
         (at == 0 || !std::isalnum(static_cast<unsigned char>(l[at - 1])));
}

}  // namespace

bool parseview(std::string_view l, view& v) {
  return viewitems(l, v, false);
}

rowis recordrow(std::string_view l, bytes& raw) {
  if (l.ends_with('\r')) l.remove_suffix(1);
  // A line without characters ends with a space, which editors strip.
  const bool stripped = !l.ends_with(' ') && !l.ends_with('\'');
  std::size_t at = l.find('=');
  while (at != std::string_view::npos && !startsview(l, at)) at = l.find('=', at + 1);
  if (at == std::string_view::npos) return rowis::other;
  view v;
  if (!viewitems(l.substr(at), v, stripped)) return rowis::malformed;
  raw = std::move(v.raw);
  return rowis::view;
}

int readrecord(const std::string& path, int fd, int stop,
               const std::function<bool(bytes&)>& batch) {
  std::vector<char> text(longestrow);
  std::size_t held = 0;  // bytes of a row not yet whole, at the start of `text`
  int number = 0;
  int views = 0;
  int status = 0;
  // What a row says: a view line's raw bytes go to `batch`; false to stop.
  const auto take = [&](std::string_view row) {
    if (row.ends_with('\n')) row.remove_suffix(1);
    bytes raw;
    const rowis kind = recordrow(row, raw);
    ++number;
    if (kind == rowis::malformed) {
      status = complain(usageerror,
                        path + ":" + std::to_string(number) + ": not a line of the tool's output");
    }
    if (kind != rowis::view) return kind == rowis::other;
    ++views;
    return batch(raw);
  };
  for (;;) {
    std::size_t n = 0;
    const std::span room(reinterpret_cast<std::uint8_t*>(text.data()) + held, text.size() - held);
    const outcome w = readready(stop, fd, room, n);
    if (w == outcome::failed) return complain(usageerror, path + ": " + std::strerror(errno));
    if (w != outcome::done) return 0;
    std::size_t from = 0;     // where the next row begins
    std::size_t look = held;  // where its newline may be: none before
    held += n;
    while (const void* end = std::memchr(text.data() + look, '\n', held - look)) {
      const auto to = static_cast<std::size_t>(static_cast<const char*>(end) - text.data()) + 1;
      if (!take({text.data() + from, to - from})) return status;
      from = look = to;
    }
    std::memmove(text.data(), text.data() + from, held - from);
    held -= from;
    if (n == 0 && held > 0 && !take({text.data(), held})) return status;
    if (n == 0 && views == 0) return complain(usageerror, path + ": no line of the tool's output");
    if (n == 0) return 0;
    if (held == text.size()) {
      return complain(usageerror, path + ":" + std::to_string(number + 1) +
                                      ": longer than any line of the tool's output");
    }
  }
}

}  // namespace velquin::sim
