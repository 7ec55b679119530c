#include "sim/program/inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/program/complain.h"
#include "sim/program/evdev.h"
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

// A record that can be read twice is checked whole, then sent from where it
// began.
int checkrecord(const inputfile& f, int stop) {
  const off_t start = lseek(f.fd, 0, SEEK_CUR);
  if (const int status = readrecord(f.path, f.fd, stop, [](bytes&) { return true; })) {
    return status;
  }
  if (lseek(f.fd, start, SEEK_SET) == start) return 0;
  return complain(usageerror, failure(f.path, errno));
}

int fileopen(const input& in, inputfile& f, int stop) {
  f.from = in.from;
  f.path = in.arg;
  f.fd = in.arg == "-" ? 0 : open(in.arg.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (f.fd < 0 || fstat(f.fd, &st) != 0) return complain(usageerror, failure(f.path, errno));
  // A directory opens, and only reading it would fail, after the line is made.
  if (S_ISDIR(st.st_mode)) return complain(usageerror, failure(f.path, EISDIR));
  return in.from == source::replay && S_ISREG(st.st_mode) ? checkrecord(f, stop) : 0;
}

// A file's bytes as they are, in batches of `size`.
int sendraw(const inputfile& f, std::size_t size, int stop, const sink& to) {
  bytes batch(size);
  for (std::size_t held = 0;;) {
    std::size_t n = 0;
    const outcome w = readready(stop, f.fd, std::span(batch).subspan(held), n);
    if (w == outcome::failed) return complain(usageerror, failure(f.path, errno));
    if (w != outcome::done) return 0;
    held += n;
    if ((held == size || (n == 0 && held > 0)) && !to({batch.data(), held}, true)) return 0;
    if (n == 0) return 0;
    if (held == size) held = 0;
  }
}

}  // namespace

namespace {

// A read of what is typed that failed: at a terminal another job has (an
// orphaned process group's, or one that ignores SIGTTIN), typing ends as at
// Ctrl-D; anything else is a failure (1). Said either way.
int readfailed(bool keyboard) {
  if (keyboard && errno == EIO && tcgetpgrp(0) != getpgrp()) {
    return complain(0, "standard input: the terminal is another job's; typing ends");
  }
  return complain(1, failure("standard input", errno));
}

}  // namespace

int typefrom(int fd, int group, int stop, const sink& to, bool keyboard) {
  if (keyboard && !keyboardready()) return readfailed(keyboard);
  gatherer g{to, group};
  for (bool more = true; more;) {
    char buf[4096];
    std::size_t n = 0;
    // Stopped, it ends the typing as its end does.
    if (readready(stop, fd, {reinterpret_cast<std::uint8_t*>(buf), sizeof buf}, n) ==
        outcome::failed) {
      const int e = errno;
      g.flush();
      errno = e;
      return readfailed(keyboard);
    }
    std::string_view text(buf, n);
    const std::size_t end = keyboard ? text.find(endoftyping) : std::string_view::npos;
    more = n > 0 && end == std::string_view::npos;
    text = text.substr(0, end);
    while (!text.empty()) {
      const std::size_t typed = typetext(text, g);
      if (typed == text.size() || g.stopped) break;
      const char c = text[typed];
      text.remove_prefix(typed + 1);
      if (!g.flush()) break;
      if (!keyboard) return complain(usageerror, untypeable(c));
      // The bytes after the first of a UTF-8 character: said with it.
      if ((c & 0xC0) != 0x80) complain(0, untypeable(c));
      // A message an end signal cut short, standard error taking nothing,
      // is the last.
      if (sleepuntil(stop, steady::now()) == outcome::stopped) return 0;
    }
    if (g.stopped || (keyboard && !g.flush())) return 0;
  }
  g.flush();
  return 0;
}

namespace {

// An input made here, which nothing can make bad once it was checked.
void sendmade(const options& o, const input& in, std::mt19937& rng, const sink& to) {
  switch (in.from) {
    case source::text: {
      gatherer g{to, o.group};
      typetext(in.text, g);
      g.flush();
      break;
    }
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
    case source::keyboard:
      break;
  }
}

}  // namespace

int inputsopen(const options& o, std::vector<inputfile>& files, int stop) {
  for (const input& in : o.inputs) {
    if (in.from == source::keyboard) {
      int status = 0;
      files.push_back({in.from, in.arg, keyboardopen(in.arg, status)});
      if (status != 0) return status;
    }
    if (!readsfile(in.from)) continue;
    files.emplace_back();
    if (const int status = fileopen(in, files.back(), stop)) return status;
  }
  return 0;
}

namespace {

// Whether `named` is the file `f` reads; a device such as /dev/null is
// never emptied or fed back.
bool isinput(const struct stat& named, const inputfile& f) {
  struct stat st {};
  return !S_ISCHR(named.st_mode) && fstat(f.fd, &st) == 0 && st.st_dev == named.st_dev &&
         st.st_ino == named.st_ino;
}

}  // namespace

bool inputnamed(const std::string& path, const inputfile& f) {
  struct stat named {};
  return stat(path.c_str(), &named) == 0 && isinput(named, f);
}

bool inputon(int fd, const inputfile& f) {
  struct stat st {};
  return f.fd != fd && fstat(fd, &st) == 0 && isinput(st, f);
}

bool readsstdin(const options& o) {
  return o.inputs.empty() || std::any_of(o.inputs.begin(), o.inputs.end(), [](const input& in) {
           return readsfile(in.from) && in.arg == "-";
         });
}

int sendinputs(const options& o, const std::vector<inputfile>& files, std::mt19937& rng,
               sender& out, outcome& last, bool keyboard) {
  const sink to = [&](std::span<const std::uint8_t> piece, bool end) {
    last = out.send(piece, end);
    return last == outcome::done;
  };
  const pacing given{std::chrono::milliseconds(o.pacems), static_cast<std::size_t>(o.split),
                     o.rate};
  out.p = given;
  if (o.inputs.empty()) {
    const int status = typefrom(0, o.group, out.l.stop, to, keyboard);
    keyboardoff();
    return status;
  }
  auto file = files.begin();
  for (const input& in : o.inputs) {
    int status = 0;
    if (in.from == source::raw) {
      out.p = {given.pause, 0, o.rate > 0 ? o.rate : rawrate};
      status = sendraw(*file++, o.split > 0 ? given.split : rawbatch, out.l.stop, to);
      out.p = given;
    } else if (in.from == source::replay) {
      const inputfile& f = *file++;
      status = readrecord(f.path, f.fd, out.l.stop, [&](bytes& raw) { return to(raw, true); });
    } else if (in.from == source::keyboard) {
      // Every key event at once, unless a pause is asked for.
      out.p.pause = std::chrono::milliseconds(o.pacegiven ? o.pacems : 0);
      const inputfile& f = *file++;
      status = typekeys(o, f.path, f.fd, out, to);
      out.p = given;
    } else {
      sendmade(o, in, rng, to);
    }
    if (status != 0 || last != outcome::done) return status;
  }
  return 0;
}

}  // namespace velquin::sim
