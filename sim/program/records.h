// The tool's output read back: one view line, and the batches a recorded
// session holds, read a piece at a time through the wait.
#pragma once
#include <functional>
#include <string>
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
// to skip; or a view line cut short or garbled. The view begins at the first
// "=" with two hexadecimal digits after it that is not glued to a letter or a
// digit before it ("exit=01" is not one), whatever is in front (a time stamp,
// cat -n's number and tab, a byte-order mark), and must read as a view from
// there to the end: else the line is malformed, also one the tool never
// prints, in capitals or with a tab after an item. A final space an editor
// stripped is taken as there. Linear in the line's length.
lineis recordline(std::string_view text, bytes& raw);

// The longest line the tool prints, its newline included: a batch of 8192
// bytes, every one a raw item "=ff ", half of them codes "#15 ", and every
// code a character ">0d '\015'". A record's line may be longer by a prefix.
inline constexpr std::size_t longestview = 8192 * 4 + 4096 * (4 + 10) + 1;
inline constexpr std::size_t longestrecordline = longestview + 4096;

// How reading a record ended.
struct recordend {
  enum class how { end, stopped, malformed, toolong, failed };
  how ended = how::end;
  int line = 0;   // the number of a malformed or overlong line
  int error = 0;  // errno of a read that failed
  int views = 0;  // view lines handed on
};

// Reads a record a piece at a time through the wait, never holding more than
// one line of at most longestrecordline bytes, and hands the raw bytes of
// every view line to `batch`. Stopped when `batch` returns false or `stop`
// fires.
recordend readrecord(int fd, int stop, const std::function<bool(bytes&)>& batch);

// What is wrong with a record read so, named `path`; empty when nothing is.
std::string recordproblem(const std::string& path, const recordend& e);

}  // namespace velquin::sim
