// The tool's output read back: one view line, and the batches a recorded
// session holds.
#pragma once
#include <string_view>
#include <vector>

#include "sim/keys.h"

namespace velquin::sim {

// One line of the tool's output, its three views.
struct view {
  bytes raw;
  bytes codes;
  bytes chars;
};
// "=ff =15 =ea #15 >71 'q'", without its newline: false unless every item is
// well formed and there is at least one raw byte.
bool parseview(std::string_view line, view& v);

// The batches recorded in a log of the tool's output: the raw view of every
// view line (one whose first item "=xx " begins it, or follows a prefix such
// as a time stamp), one batch a line, in order; other lines are skipped. A
// final space stripped from a line is taken as there. 0, or the number of the
// first malformed view line.
int replaybatches(std::string_view log, std::vector<bytes>& out);

}  // namespace velquin::sim
