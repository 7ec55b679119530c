#include "sim/program/inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/program/keyboard.h"
#include "sim/program/records.h"
#include "sim/receiver/keys.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

// --raw's batches, and their rate, where --split and --rate do not say.
constexpr std::size_t rawbatch = 64;
constexpr int rawrate = 9600;

bool readsfile(source s) {
  return s == source::replay || s == source::raw;
}

std::string failure(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// A record that can be read twice is checked whole, then sent from where it
// began.
bool checkrecord(const inputfile& f, std::string& err) {
  const off_t start = lseek(f.fd, 0, SEEK_CUR);
  err = recordproblem(f.path, readrecord(f.fd, -1, [](bytes&) { return true; }));
  if (err.empty() && lseek(f.fd, start, SEEK_SET) != start) err = failure(f.path);
  return err.empty();
}

bool fileopen(const input& in, inputfile& f, std::string& err) {
  f.from = in.from;
  f.path = in.arg;
  f.fd = in.arg == "-" ? 0 : open(in.arg.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (f.fd < 0 || fstat(f.fd, &st) != 0) {
    err = failure(f.path);
    return false;
  }
  // A directory opens, and only reading it would fail, after the line is made.
  if (S_ISDIR(st.st_mode)) {
    err = f.path + ": " + std::strerror(EISDIR);
    return false;
  }
  return in.from != source::replay || !S_ISREG(st.st_mode) || checkrecord(f, err);
}

int replay(const inputfile& f, int stop, const sink& to) {
  const recordend e = readrecord(f.fd, stop, [&](bytes& raw) { return to(raw, true); });
  const std::string problem = recordproblem(f.path, e);
  return problem.empty() ? 0 : complain(usageerror, problem);
}

// A file's bytes as they are, in batches of `size`.
int sendraw(const inputfile& f, std::size_t size, int stop, const sink& to) {
  bytes batch(size);
  for (std::size_t held = 0;;) {
    const ssize_t n = readready(stop, f.fd, std::span(batch).subspan(held));
    if (n < 0) return errno == ECANCELED ? 0 : complain(usageerror, failure(f.path));
    held += static_cast<std::size_t>(n);
    if ((held == size || (n == 0 && held > 0)) && !to({batch.data(), held}, true)) return 0;
    if (n == 0) return 0;
    if (held == size) held = 0;
  }
}

// Types what comes on standard input until it ends, or the command does. At
// a terminal, a key no key types is said and passed over; from a pipe or a
// file it ends the run.
int typestdin(int group, int stop, const sink& to, bool keyboard) {
  for (;;) {
    char buf[4096];
    const ssize_t n = readready(stop, 0, {reinterpret_cast<std::uint8_t*>(buf), sizeof buf});
    if (n <= 0) return 0;
    std::string_view text(buf, static_cast<std::size_t>(n));
    const std::size_t end = keyboard ? text.find(endoftyping) : std::string_view::npos;
    text = text.substr(0, end);
    for (char unknown = 0; !typetext(text, group, to, unknown); unknown = 0) {
      if (unknown == 0) return 0;
      complain(usageerror, untypeable(unknown));
      if (!keyboard) return usageerror;
      text.remove_prefix(text.find(unknown) + 1);
    }
    if (end != std::string_view::npos) return 0;
  }
}

// An input made here, which nothing can make bad once it was checked.
void sendmade(const options& o, const input& in, std::mt19937& rng, const sink& to) {
  char unknown = 0;
  switch (in.from) {
    case source::text:
      typetext(unescape(in.arg), o.group, to, unknown);
      break;
    case source::codes:
      typecodes(in.data, o.group, to);
      break;
    case source::hex:
      to(in.data, true);
      break;
    case source::random:
      randombatch(rng, in.size, to);
      break;
    case source::mangled:
      mangledbatch(rng, in.size, to);
      break;
    case source::replay:
    case source::raw:
      break;
  }
}

}  // namespace

bool inputsopen(const options& o, std::vector<inputfile>& files, std::string& err) {
  for (const input& in : o.inputs) {
    if (!readsfile(in.from)) continue;
    files.emplace_back();
    if (!fileopen(in, files.back(), err)) return false;
  }
  return true;
}

const inputfile* inputnamed(const std::string& path, const std::vector<inputfile>& files) {
  struct stat named {};
  // A device such as /dev/null is not emptied.
  if (stat(path.c_str(), &named) != 0 || S_ISCHR(named.st_mode)) return nullptr;
  for (const inputfile& f : files) {
    struct stat st {};
    if (fstat(f.fd, &st) == 0 && st.st_dev == named.st_dev && st.st_ino == named.st_ino) return &f;
  }
  return nullptr;
}

bool readsstdin(const options& o) {
  return o.inputs.empty() || std::any_of(o.inputs.begin(), o.inputs.end(), [](const input& in) {
           return readsfile(in.from) && in.arg == "-";
         });
}

int sendinputs(const options& o, const std::vector<inputfile>& files, std::mt19937& rng,
               sender& out, sent& last, bool keyboard) {
  const sink to = [&](std::span<const std::uint8_t> piece, bool end) {
    last = out.send(piece, end);
    return last == sent::all;
  };
  const pacing given{std::chrono::milliseconds(o.pacems), static_cast<std::size_t>(o.split),
                     o.rate};
  out.p = given;
  if (o.inputs.empty()) return typestdin(o.group, out.l.stop, to, keyboard);
  auto file = files.begin();
  for (const input& in : o.inputs) {
    int status = 0;
    if (in.from == source::raw) {
      out.p = {given.pause, 0, o.rate > 0 ? o.rate : rawrate};
      status = sendraw(*file++, o.split > 0 ? given.split : rawbatch, out.l.stop, to);
      out.p = given;
    } else if (in.from == source::replay) {
      status = replay(*file++, out.l.stop, to);
    } else {
      sendmade(o, in, rng, to);
    }
    if (status != 0 || last != sent::all) return status;
  }
  return 0;
}

}  // namespace velquin::sim
