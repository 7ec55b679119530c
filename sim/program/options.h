// The emulator's command line: what to send after the exchange, how to pace
// it, how to answer the exchange, and on which line.
#pragma once
#include <getopt.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/receiver/keys.h"

namespace velquin::sim {

extern const char usage[];

// What an input sends after the exchange: the option that gave it.
enum class source { text, codes, hex, random, mangled, replay, raw, keyboard };

// One of the inputs sent after the exchange, checked as it was read.
struct input {
  source from;
  std::string arg;       // as given: the text, or the file's path
  std::string text;      // --text: the characters it types, escapes read
  bytes data;            // --codes and --bytes: the bytes
  std::size_t size = 0;  // --random and --mangled: how many bytes
};

struct options {
  std::vector<input> inputs;  // what to send after the exchange, in the order given
  int pacems = 100;
  bool pacegiven = false;
  int group = 1;
  bool groupgiven = false;
  int repeatdelayms = 500;  // --keyboard's repeat
  int repeatperiodms = 92;  // 0: none
  bool repeatgiven = false;
  int split = 0;
  int rate = 0;
  int holdms = 500;
  int seed = 20240611;
  int noise = 0;
  int gapms = 0;
  bool late[3] = {};
  bool wrong = false;
  bool silent = false;
  bytes stale;
  std::string log;
  std::string port;
  std::string link;
  std::vector<std::string> command;
};

enum class asked { run, help, version };

struct parsed {
  asked what = asked::run;
  options opts;
  std::string error;  // a bad option or value, when not empty
};

// Reads and checks the command line; touches nothing.
parsed parse(int argc, char** argv);

// Every long option, for the test that each one is documented.
std::span<const option> longoptions();

}  // namespace velquin::sim
