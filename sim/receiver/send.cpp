#include "sim/receiver/send.h"

#include <algorithm>
#include <cerrno>

namespace velquin::sim {
namespace {

constexpr auto slice = std::chrono::milliseconds(10);
constexpr long long slicespersecond = 100;
constexpr long long bitsperbyte = 10;

sent waited(woke w) {
  if (w == woke::stopped) return sent::stopped;
  return w == woke::failed ? sent::linefailed : sent::all;
}

// The line first, then the log: the log holds what the line took, even when
// it then failed or the command ended, and the line waits for a log that has
// no room.
sent put(sender& s, std::span<const std::uint8_t> b) {
  const std::size_t took = writeall(s.l.stop, s.l.master, b);
  const int lineerror = errno;
  const sent ended = took == b.size()         ? sent::all
                     : lineerror == ECANCELED ? sent::stopped
                                              : sent::linefailed;
  if (s.log < 0 || took == 0) return ended;
  const std::size_t logged = writeall(s.l.stop, s.log, b.first(took));
  if (logged < took && errno != ECANCELED) return sent::logfailed;
  s.unlogged += took - logged;
  errno = lineerror;
  return logged < took ? sent::stopped : ended;
}

sent pause(const sender& s) {
  return waited(sleepuntil(s.l.stop, steady::now() + s.p.pause));
}

// As a serial line delivers them: byte k of the part has fully arrived
// (k + 1) * 10 bits after the part began, and what has arrived is handed on
// every 10 ms. After a stall (the emulator stopped, a slow line or log) it
// goes on at the rate from there, never making up for the time lost.
sent paced(sender& s, std::span<const std::uint8_t> b) {
  if (s.p.rate == 0) return put(s, b);
  const std::size_t before = s.done - s.part;
  for (std::size_t k = 0; k < b.size();) {
    const long long bits = static_cast<long long>(before + k + 1) * bitsperbyte * slicespersecond;
    const long long n =
        (bits + s.p.rate - 1) / s.p.rate;  // the slice in which that byte is complete
    if (const sent w = waited(sleepuntil(s.l.stop, s.began + n * slice)); w != sent::all) return w;
    if (const auto now = steady::now(); now > s.began + (n + 1) * slice) s.began = now - n * slice;
    const auto due = static_cast<std::size_t>(n * s.p.rate / (bitsperbyte * slicespersecond));
    const std::size_t upto = std::min(b.size(), due - before);
    if (const sent r = put(s, b.subspan(k, upto - k)); r != sent::all) return r;
    k = upto;
  }
  return sent::all;
}

sent sendpiece(sender& s, std::span<const std::uint8_t> piece, bool last) {
  if (s.done == 0) {
    // The command may have ended while the batch was being made.
    if (waitfor(s.l.stop, -1, 0, steady::now()) == woke::stopped) return sent::stopped;
    s.began = steady::now();
  }
  while (!piece.empty()) {
    if (s.p.split > 0 && s.done == s.p.split && s.part == 0) {
      if (const sent r = pause(s); r != sent::all) return r;
      s.part = s.done;
      s.began = steady::now();
    }
    const std::size_t n = s.p.split > 0 && s.done < s.p.split
                              ? std::min(piece.size(), s.p.split - s.done)
                              : piece.size();
    if (const sent r = paced(s, piece.first(n)); r != sent::all) return r;
    s.done += n;
    piece = piece.subspan(n);
  }
  if (!last) return sent::all;
  s.done = 0;
  s.part = 0;
  return pause(s);
}

}  // namespace

sent sender::send(std::span<const std::uint8_t> piece, bool last) {
  const sent r = sendpiece(*this, piece, last);
  if (r == sent::linefailed || r == sent::logfailed) error = errno;
  return r;
}

}  // namespace velquin::sim
