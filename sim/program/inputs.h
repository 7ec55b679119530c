// What goes out after the exchange, made as it is sent: every input of the
// command line in turn, or what is typed on standard input.
#pragma once
#include <random>
#include <string>
#include <vector>

#include "sim/program/options.h"
#include "sim/receiver/send.h"

namespace velquin::sim {

// A file an input reads (a record to replay, raw bytes), opened before the
// line is made, so that one that cannot be read, or a record that is bad,
// fails before anything is sent. Standard input for "-".
struct inputfile {
  source from;
  std::string path;
  int fd = -1;
};

// Opens the file of every input that reads one, non-blocking (standard input
// keeps its flags), and checks a record that can be read twice (a regular
// file) whole, its reads watching `stop`. 0, or the status of one that cannot
// be used (2), said.
int inputsopen(const options& o, std::vector<inputfile>& files, int stop);
// Whether `path` names `f`, which a log there would empty.
bool inputnamed(const std::string& path, const inputfile& f);
// Whether the emulator's descriptor `fd` writes into `f`, which would then be
// sent what the run writes.
bool inputon(int fd, const inputfile& f);
// Whether an input reads the emulator's standard input, which the command
// then does not get.
bool readsstdin(const options& o);

// Types what comes on `fd` until it ends, or `stop` fires, frames gathered
// `group` to a batch across reads. At a terminal (`keyboard`) every key goes
// at once, Ctrl-D ends, and a character no key types is said once and passed
// over; from a pipe or a file it ends the typing: 0, or that status (2).
int typefrom(int fd, int group, int stop, const sink& to, bool keyboard);

// Sends every input in order through `out`, paced as `o` says; without any,
// what is typed on standard input (`keyboard`: a terminal, key by key). It
// stops at the first send that was not done, `last` saying how that ended.
// 0, or the status of an input found bad as it was sent, said.
int sendinputs(const options& o, const std::vector<inputfile>& files, std::mt19937& rng,
               sender& out, outcome& last, bool keyboard);

}  // namespace velquin::sim
