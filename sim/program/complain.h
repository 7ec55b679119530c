// The one writer of the emulator's standard error, and the words of the
// messages more than one part says.
#pragma once
#include <string>
#include <string_view>

namespace velquin::sim {

inline constexpr const char* me = "velquin-sim";
inline constexpr int usageerror = 2;

// Says `message` on standard error after the emulator's name, warnings
// included (status 0); `status`. Nothing is allocated, so that even running
// out of memory can be said.
int complain(int status, std::string_view message);
// From now on a message waits for a standard error that takes nothing only
// until `stop` is readable: then it is cut short.
void complainuntil(int stop);
// "what: " and what error number `e` stands for.
std::string failure(const std::string& what, int e);
// "no key types the character 0xc3"
std::string untypeable(char c);

}  // namespace velquin::sim
