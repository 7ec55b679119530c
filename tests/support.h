// Helpers shared by the tests: standard error capture, whole-record settings
// comparison, and a child process whose output is read through pipes.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

bool operator==(const termios& a, const termios& b);
void PrintTo(const termios& t, std::ostream* os);

namespace velquin::test {

// Sends everything written to descriptor 2 into a file while it lives.
class stderrcapture {
 public:
  stderrcapture();
  ~stderrcapture();
  stderrcapture(const stderrcapture&) = delete;
  stderrcapture& operator=(const stderrcapture&) = delete;
  std::string text() const;

 private:
  int saved_;
  std::FILE* file_;
};

struct spawnoptions {
  std::vector<std::string> args;  // after the program's own name
  bool closestdin = false;
  int fdfloor = 0;  // descriptors below this are taken before the program starts
};

struct child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::string outtext;  // what has been read so far
  std::string errtext;
};

bool spawn(child& c, const std::string& exe, const spawnoptions& o);
// Waits until standard output holds a complete line not yet taken, and takes it.
bool takeline(child& c, std::string& line, std::chrono::milliseconds limit);
// Reads both outputs to their end and reaps the child; its exit status, or -1
// when it did not end within `limit` (it is then killed).
int finish(child& c, std::chrono::milliseconds limit);

std::string hex(const std::vector<unsigned char>& b);

}  // namespace velquin::test
