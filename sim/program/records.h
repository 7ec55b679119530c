// The tool's output read back: one view line, and the batches a recorded
// session holds.
#pragma once
#include <cstdio>
#include <functional>
#include <string_view>

#include "sim/receiver/keys.h"

namespace velquin::sim {

// One line of the tool's output, its three views.
struct view {
  bytes raw;
  bytes codes;
  bytes chars;
};
// "=ff =15 =ea #15 >71 'q'", without its newline: false unless every item is
// well formed and there is at least one raw byte.
bool parseview(std::string_view text, view& v);

enum class lineis { view, other, malformed };

// What one line of a record is: a view line, its raw bytes in `raw`; a line
// to skip; or a view line cut short or garbled. The view begins at the
// earliest place from which the rest of the line reads as one, whatever is in
// front of it (a time stamp, cat -n's number and tab, a byte-order mark); a
// final space an editor stripped is taken as there. The line is malformed
// when an item "=xx" that stands on its own, not glued to a word ("x a=12 b"),
// comes before that place, or there is no such place.
lineis recordline(std::string_view text, bytes& raw);

// Reads a record a line at a time, never whole, and hands the raw bytes of
// every view line to `batch`, which stops the reading by returning false. 0
// at the end of the record or when `batch` stopped it; the number of the
// first malformed line; -1 when the read failed (errno says why).
int readrecord(std::FILE* in, const std::function<bool(bytes&)>& batch);

}  // namespace velquin::sim
