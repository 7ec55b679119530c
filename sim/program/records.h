// The tool's output read back: one view line, and the batches a recorded
// session holds, read a piece at a time through the wait.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "run/run.h"
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

// What a row of a record (a line of its text) is: a view line, its raw bytes
// in `raw`; a row to skip; or a view line cut short or garbled. The view
// begins at the first "=" with two hexadecimal digits after it that is not
// glued to a letter or a digit before it ("exit=01" is not one), whatever is
// in front (a time stamp, cat -n's number and tab, a byte-order mark), and
// must read as a view from there to the end: else the row is malformed, also
// one the tool never prints, in capitals or with a tab after an item. A final
// space an editor stripped is taken as there. Linear in the row's length.
enum class rowis { view, other, malformed };
rowis recordrow(std::string_view text, bytes& raw);

// The longest row a record may hold, its newline included: the longest line
// the tool prints, and 4 KB for a prefix.
inline constexpr std::size_t longestrow = longestline + 4096;

// Reads the record `path` from `fd` a piece at a time through the wait, never
// holding more than one row, and hands the raw bytes of every view line to
// `batch`, until `batch` returns false or `stop` fires. 0, or 2 for a record
// that cannot be read, or that holds a malformed or overlong row or no view
// line, said.
int readrecord(const std::string& path, int fd, int stop, const std::function<bool(bytes&)>& batch);

}  // namespace velquin::sim
