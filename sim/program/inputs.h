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
// file) whole. False, with the error, when one cannot be used: status 2.
bool inputsopen(const options& o, std::vector<inputfile>& files, std::string& err);
// The one of `files` that `path` names, which a log there would empty; null
// when none is.
const inputfile* inputnamed(const std::string& path, const std::vector<inputfile>& files);
// Whether an input reads the emulator's standard input, which the command
// then does not get.
bool readsstdin(const options& o);

// Sends every input in order through `out`, paced as `o` says; without any,
// what is typed on standard input (`keyboard`: a terminal, key by key). It
// stops at the first send that did not all go out, `last` saying how that
// ended. 0, or the status of an input found bad as it was sent, said on
// standard error.
int sendinputs(const options& o, const std::vector<inputfile>& files, std::mt19937& rng,
               sender& out, sent& last, bool keyboard);

}  // namespace velquin::sim
