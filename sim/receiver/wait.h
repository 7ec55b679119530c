// The one place the emulator waits. Every wait, for a descriptor to read or
// write or for a deadline, also watches the command's end, and a signal only
// interrupts it: nothing the emulator does can outlive its command, and while
// it only waits it sleeps until something happens.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>

namespace velquin::sim {

using steady = std::chrono::steady_clock;
inline constexpr steady::time_point never = steady::time_point::max();

enum class woke { ready, due, stopped, failed };

// Waits until `fd` (-1: none) is ready for `events`, `until` passes, or `stop`
// fires (-1: none; a descriptor readable once the command has ended), which
// wins over the rest. failed: errno says why.
woke waitfor(int stop, int fd, short events, steady::time_point until);

// Reads `fd` once it is readable: the count, 0 at its end, -1 when the read
// fails (errno), `until` passes (ETIMEDOUT) or the stop fires (ECANCELED).
// A descriptor that blocks is only ever read when it is ready, so one the
// emulator inherits keeps its flags.
ssize_t readready(int stop, int fd, std::span<std::uint8_t> into, steady::time_point until = never);

// Writes all of `b` to a non-blocking `fd`, waiting for room: how much went
// out, less than all only when the write failed (errno) or the stop fired
// (ECANCELED).
std::size_t writeall(int stop, int fd, std::span<const std::uint8_t> b);

// Sleeps until `until` (due), unless the stop fires first or the wait fails.
woke sleepuntil(int stop, steady::time_point until);

}  // namespace velquin::sim
