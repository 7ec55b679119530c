#include "sim/program/evdev.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "sim/program/complain.h"

namespace velquin::sim {
namespace {

using namespace std::chrono_literals;

using keybits = std::array<std::uint8_t, KEY_CNT / 8>;

bool has(const keybits& bits, unsigned key) {
  return (bits[key / 8] >> (key % 8) & 1) != 0;
}

// Events of a non-blocking device until none is left: how many, or -1
// (errno) when the read fails.
template <typename each>
int readevents(int fd, const each& take) {
  for (int n = 0;;) {
    input_event e[64];
    const ssize_t got = read(fd, e, sizeof e);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == EAGAIN ? n : -1;
    if (got == 0) return n;
    for (std::size_t k = 0; k < static_cast<std::size_t>(got) / sizeof e[0]; ++k) take(e[k]);
    n += static_cast<int>(static_cast<std::size_t>(got) / sizeof e[0]);
  }
}

// The keys of the chord that ends typing which the device lacks, named.
std::string chordlacks(int fd) {
  keybits keys{};
  const bool known = ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys.data()) >= 0;
  std::string lacks;
  for (const auto& [key, name] : {std::pair{unsigned{KEY_LEFTSHIFT}, "Left Shift"},
                                  {KEY_RIGHTSHIFT, "Right Shift"},
                                  {KEY_ESC, "Esc"}}) {
    if (!known || !has(keys, key)) lacks += (lacks.empty() ? "" : ", ") + std::string(name);
  }
  return lacks;
}

// Waits until no key is held, saying so once after a second. done, or how
// the wait ended.
outcome keysup(const std::string& path, int fd, int stop) {
  const auto tell = steady::now() + 1s;
  for (bool told = false;;) {
    keybits down{};
    if (ioctl(fd, EVIOCGKEY(sizeof down), down.data()) < 0) return outcome::failed;
    if (std::all_of(down.begin(), down.end(), [](std::uint8_t b) { return b == 0; })) {
      return outcome::done;
    }
    if (readevents(fd, [](const input_event&) {}) < 0) return outcome::failed;
    const outcome w = waitfor(stop, fd, POLLIN, told ? never : tell);
    if (w == outcome::due) complain(0, path + ": waiting for the keys held to be released");
    told = told || w == outcome::due;
    if (w != outcome::done && w != outcome::due) return w;
  }
}

steady::time_point stamp(const input_event& e) {
  return steady::time_point(std::chrono::seconds(e.input_event_sec) +
                            std::chrono::microseconds(e.input_event_usec));
}

// Reads what the keyboard reports into `r`: at the chord lets it go at once,
// whatever holds sending up, and ends the reading; on unplugging or a failed
// read too, saying so. 1 for a failure, else 0.
int readkeys(const std::string& path, int fd, keyreader& r, bool& gone) {
  const auto now = steady::now();
  if (readevents(fd, [&](const input_event& e) { r.take(e, now); }) >= 0) {
    if (r.ended) {
      ioctl(fd, EVIOCGRAB, 0);
      watchalone();
    }
    return 0;
  }
  const int e = errno;
  gone = true;
  watchalone();
  if (e == ENODEV) return complain(0, path + ": unplugged; typing from it ends");
  return complain(1, failure(path, e));
}

}  // namespace

int keyboardopen(const std::string& path, int& status) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int version = 0;
  status = usageerror;
  if (fd < 0 && errno == EACCES) {
    complain(status, failure(path, errno) + "; reading a keyboard takes root or the input group");
  } else if (fd < 0) {
    complain(status, failure(path, errno));
  } else if (ioctl(fd, EVIOCGVERSION, &version) < 0) {
    complain(status, path + ": not an input device");
  } else if (const std::string lacks = chordlacks(fd); !lacks.empty()) {
    complain(status, path + ": not a keyboard: no " + lacks +
                         " (Left Shift + Right Shift + Esc ends typing from it)");
  } else {
    status = 0;
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

bool keyplayer::send(const bytes& codes) {
  if (!g.addcodes(codes)) return false;
  return grouped || g.flush();
}

bool keyplayer::play(const keyevent& e) {
  if (e.key == lost) {
    repeat.release(repeat.key);
    return true;
  }
  if (e.press == sent.has(e.key)) return true;  // a release never pressed
  bytes codes;
  if (!keysends(e.key, e.press, sent.mods(), codes)) {
    if (e.key < KEY_CNT && !named.test(e.key)) {
      complain(0, path + ": key " + std::to_string(e.key) + " has no set-2 code; passed over");
    }
    if (e.key < KEY_CNT) named.set(e.key);
    return true;
  }
  if (e.press) {
    sent.press(e.key);
    if (!e.caughtup) repeat.press(e.key, e.at);
  } else {
    sent.release(e.key);
    repeat.release(e.key);
  }
  return codes.empty() || send(codes);
}

bool keyplayer::releaseall() {
  for (std::size_t k = sent.count; k-- > 0;) {
    if (!play({sent.keys[k], false, false, steady::now()})) return false;
  }
  return g.flush();
}

void keyreader::push(const keyevent& e) {
  queue[(head + count) % room] = e;
  ++count;
}

bool keyreader::next(keyevent& e) {
  if (count == 0) return false;
  e = queue[head];
  head = (head + 1) % room;
  --count;
  return true;
}

void keyreader::catchup(steady::time_point at) {
  keybits down{};
  if (room - count < reserve || !actual || !actual(down)) return;
  dropping = false;
  if (said) said();
  push({lost, false, false, at});
  // Esc, held at the chord, is not sent.
  if (ended) down[KEY_ESC / 8] &= static_cast<std::uint8_t>(~(1 << (KEY_ESC % 8)));
  // No more than the reserve: as many as `seen` holds.
  sim::catchup(seen, down, [&](unsigned key, bool press) {
    if (press ? seen.press(key) : seen.release(key)) {
      push({static_cast<std::uint16_t>(key), press, true, at});
    }
  });
  leftshift = has(down, KEY_LEFTSHIFT);
  rightshift = has(down, KEY_RIGHTSHIFT);
}

void keyreader::take(const input_event& e, steady::time_point at) {
  const bool key = e.type == EV_KEY && e.value != 2 && e.code < KEY_CNT;
  if (key && (e.code == KEY_LEFTSHIFT || e.code == KEY_RIGHTSHIFT)) {
    (e.code == KEY_LEFTSHIFT ? leftshift : rightshift) = e.value != 0;
  }
  if (ended) return;
  if (key && e.code == KEY_ESC && e.value == 1 && leftshift && rightshift) {
    ended = true;
    if (dropping) catchup(at);
  } else if (e.type == EV_SYN && e.code == SYN_DROPPED) {
    dropping = true;
  } else if (dropping && e.type == EV_SYN && e.code == SYN_REPORT) {
    catchup(at);
  } else if (key && !dropping && count >= room - reserve) {
    dropping = true;
  } else if (key && !dropping) {
    push({e.code, e.value != 0, false, stamped ? stamp(e) : at});
    if (e.value != 0) seen.press(e.code);
    if (e.value == 0) seen.release(e.code);
  }
}

int typekeys(const options& o, const std::string& path, int fd, sender& out, const sink& to) {
  const int stop = out.l.stop;
  if (const outcome w = keysup(path, fd, stop); w != outcome::done) {
    if (w == outcome::failed && errno == ENODEV) {
      return complain(0, path + ": unplugged; typing from it ends");
    }
    return w == outcome::failed ? complain(1, failure(path, errno)) : 0;
  }
  if (ioctl(fd, EVIOCGRAB, 1) != 0) {
    return complain(1, errno == EBUSY ? path + ": grabbed by another program"
                                      : failure(path + ": grab", errno));
  }
  // Nothing read before the grab is sent.
  readevents(fd, [](const input_event&) {});
  complain(0, path +
                  ": grabbed; its keys go out as they are pressed; Left Shift + Right Shift "
                  "+ Esc ends");
  keyreader r;
  int monotonic = CLOCK_MONOTONIC;
  r.stamped = ioctl(fd, EVIOCSCLOCKID, &monotonic) == 0;
  r.actual = [fd](std::span<std::uint8_t> down) {
    return ioctl(fd, EVIOCGKEY(down.size()), down.data()) >= 0;
  };
  r.said = [&] { complain(0, path + ": key events lost; the keys held brought up to date"); };
  bool gone = false;
  int status = 0;
  watchbeside(fd, [&] { status = std::max(status, readkeys(path, fd, r, gone)); });
  keyplayer p{path, {to, o.groupgiven ? o.group : INT_MAX}, o.groupgiven};
  p.repeat.delay = std::chrono::milliseconds(o.repeatdelayms);
  p.repeat.period = std::chrono::milliseconds(o.repeatperiodms);
  for (bool going = true; going;) {
    for (keyevent e; going && r.next(e);) going = p.play(e);
    if (!going || r.ended || gone) break;
    if (const unsigned key = p.repeat.fire(steady::now())) {
      going = p.send(keyrepeats(key, p.sent.mods()));
      continue;
    }
    // What comes is read beside the wait; no key held, no deadline.
    const outcome w = waitfor(stop, fd, POLLIN, p.repeat.due);
    if (w == outcome::stopped || w == outcome::failed) going = false;
    if (w == outcome::failed) status = complain(1, failure(path, errno));
  }
  watchalone();
  ioctl(fd, EVIOCGRAB, 0);
  // Once it has stopped, nothing more goes out.
  if (!p.g.stopped && sleepuntil(stop, steady::now()) != outcome::stopped) p.releaseall();
  return status;
}

}  // namespace velquin::sim
