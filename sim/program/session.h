// One run of the emulator: the line, the command on it, the exchange, and
// what goes out after it.
#pragma once
#include "sim/program/options.h"

namespace velquin::sim {

// Plays the receiver as `o` says; the exit status.
int run(const options& o);

}  // namespace velquin::sim
