#include "sim/receiver/send.h"

#include <algorithm>
#include <cerrno>

namespace velquin::sim {
namespace {

constexpr auto slice = std::chrono::milliseconds(10);
constexpr long long slicespersecond = 100;
constexpr long long bitsperbyte = 10;

// The line first, then the log: the log holds what the line took, even when
// it then failed or the run stopped, and the line waits for a log that has no
// room.
outcome put(sender& s, std::span<const std::uint8_t> b) {
  std::size_t took = 0;
  const outcome line = writeready(s.l.stop, s.l.master, b, took);
  const int lineerror = errno;
  if (s.log < 0 || took == 0) return line;
  std::size_t logged = 0;
  const outcome log = writeready(s.l.stop, s.log, b.first(took), logged);
  s.logfailed = log == outcome::failed;
  if (s.logfailed) return log;
  s.unlogged += took - logged;
  errno = lineerror;
  return log == outcome::stopped ? log : line;
}

outcome pauseuntil(const sender& s, steady::time_point until) {
  const outcome w = sleepuntil(s.l.stop, until);
  return w == outcome::due ? outcome::done : w;
}

// As a serial line delivers them: byte k of the part has fully arrived
// (k + 1) * 10 bits after the part began, and what has arrived is handed on
// every 10 ms. After a stall (the emulator stopped, a slow line or log) it
// goes on at the rate from there, never making up for the time lost.
outcome paced(sender& s, std::span<const std::uint8_t> b) {
  if (s.p.rate == 0) return put(s, b);
  const std::size_t before = s.done - s.part;
  for (std::size_t k = 0; k < b.size();) {
    const long long bits = static_cast<long long>(before + k + 1) * bitsperbyte * slicespersecond;
    const long long n =
        (bits + s.p.rate - 1) / s.p.rate;  // the slice in which that byte is complete
    if (const outcome w = sleepuntil(s.l.stop, s.began + n * slice); w != outcome::due) return w;
    if (const auto now = steady::now(); now > s.began + (n + 1) * slice) s.began = now - n * slice;
    const auto due = static_cast<std::size_t>(n * s.p.rate / (bitsperbyte * slicespersecond));
    const std::size_t upto = std::min(b.size(), due - before);
    if (const outcome r = put(s, b.subspan(k, upto - k)); r != outcome::done) return r;
    k = upto;
  }
  return outcome::done;
}

outcome sendpiece(sender& s, std::span<const std::uint8_t> piece, bool last) {
  // A batch without a byte (--random=0) is none, and waits for nothing.
  if (s.done == 0 && !piece.empty()) {
    // Also when the run stopped while the batch was being made.
    const auto due = s.ended == never ? steady::now() : s.ended + s.p.pause;
    if (const outcome r = pauseuntil(s, due); r != outcome::done) return r;
    s.began = steady::now();
  }
  while (!piece.empty()) {
    if (s.p.split > 0 && s.done == s.p.split && s.part == 0) {
      if (const outcome r = pauseuntil(s, steady::now() + s.p.pause); r != outcome::done) return r;
      s.part = s.done;
      s.began = steady::now();
    }
    const std::size_t n = s.p.split > 0 && s.done < s.p.split
                              ? std::min(piece.size(), s.p.split - s.done)
                              : piece.size();
    if (const outcome r = paced(s, piece.first(n)); r != outcome::done) return r;
    s.done += n;
    piece = piece.subspan(n);
  }
  if (!last) return outcome::done;
  if (s.done > 0) s.ended = steady::now();
  s.done = 0;
  s.part = 0;
  return outcome::done;
}

}  // namespace

outcome sender::send(std::span<const std::uint8_t> piece, bool last) {
  const outcome r = sendpiece(*this, piece, last);
  if (r == outcome::failed) error = errno;
  return r;
}

}  // namespace velquin::sim
