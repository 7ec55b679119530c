// The one place the emulator waits. Every wait, for a descriptor to read or
// write or for a deadline, also watches a stop (the command's end, an end
// signal), which wins: nothing the emulator does can outlive its run, and
// while it only waits it sleeps until something happens.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

namespace velquin::sim {

using steady = std::chrono::steady_clock;
inline constexpr steady::time_point never = steady::time_point::max();

// How a receiver's wait, read, write, send or exchange ended: done; due, its
// deadline passed; stopped, the stop fired; failed, errno saying why.
enum class outcome { done, due, stopped, failed };

// From now on, until watchalone(), every wait also watches `fd` beside the
// stop, and calls `take` whenever it is readable before it goes on waiting:
// a grabbed keyboard is read however long sending is held up.
void watchbeside(int fd, std::function<void()> take);
void watchalone();

// Waits until `fd` (-1: none) is ready for `events` (done), `until` passes,
// or `stop` fires (-1: none; a descriptor readable once the run must stop).
outcome waitfor(int stop, int fd, short events, steady::time_point until);
outcome sleepuntil(int stop, steady::time_point until);

// Reads `fd` once it is readable: `got` bytes, 0 at its end. A descriptor
// that blocks is only ever read when it is ready, so one the emulator
// inherits keeps its flags.
outcome readready(int stop, int fd, std::span<std::uint8_t> into, std::size_t& got,
                  steady::time_point until = never);

// Writes all of `b` to a non-blocking `fd`, waiting for room: `put` bytes
// went out, all of them unless the write failed or the stop fired.
outcome writeready(int stop, int fd, std::span<const std::uint8_t> b, std::size_t& put);

}  // namespace velquin::sim
