// The receiver's side of the start-up exchange: the requests it waits for and
// how it answers them.
#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>

#include "sim/receiver/keys.h"
#include "sim/receiver/line.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {

// How the receiver answers the three start-up requests.
struct answers {
  int from[3] = {0, 0, 0};           // first attempt of request i that is answered; -1: never
  std::optional<bytes> reply[3];     // sent for request i instead of its response
  std::chrono::milliseconds gap{0};  // pause between the bytes of a reply
};

answers silent();  // never answers
// Every response after `noise` random bytes, and after FF 55 07 for request 1
// when `wrong`; no response at all when `quiet`.
answers noisyanswers(std::mt19937& rng, std::size_t noise, bool wrong, bool quiet);

// What the receiver answers request i with.
std::span<const std::uint8_t> response(int i);
// What request i must look like.
std::span<const std::uint8_t> request(int i);

// Plays the receiver's side of the start-up exchange until the last request
// has been answered (done), or `until` passes, the line's stop fires or the
// line ends (failed, EIO) or fails. Every byte the receiver hears is appended
// to `heard` when given.
outcome playexchange(const line& l, const answers& a, steady::time_point until, bytes* heard);

}  // namespace velquin::sim
