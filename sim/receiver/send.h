// What goes out after the exchange: batches paced on the line, handed over
// in pieces as they are made, and every byte the line takes copied to the log.
#pragma once
#include <chrono>
#include <cstdint>
#include <span>

#include "sim/receiver/line.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {

struct pacing {
  // From the end of a batch to the start of the next, and after the first
  // part of a cut one; nothing waits after the last, which the sender need
  // not know.
  std::chrono::milliseconds pause{100};
  std::size_t split = 0;  // cut every batch after this many bytes
  int rate = 0;           // bits per second, ten bits a byte, in 10 ms slices; 0: no limit
};

// One batch after another, each handed over in pieces as it is made.
struct sender {
  const line& l;
  pacing p;
  int log = -1;              // non-blocking, or -1 for none
  std::size_t unlogged = 0;  // bytes the line took that the log had no room for
                             // when the run stopped
  int error = 0;             // errno of the send that failed
  bool logfailed = false;    // and whether it was the log's write, not the line's

  // A piece of the batch under way; `last` ends the batch. done once it is
  // sent, the first piece of a batch no sooner than the pause after the
  // previous one.
  outcome send(std::span<const std::uint8_t> piece, bool last);

  // The batch under way: bytes of it sent, where its current part began
  // (0, or the cut), and when; and when the one before it ended (never: it
  // is the first).
  std::size_t done = 0;
  std::size_t part = 0;
  steady::time_point began{};
  steady::time_point ended = never;
};

}  // namespace velquin::sim
