// A real keyboard, through Linux's input layer, as what the emulator sends:
// every key pressed and released goes out as a PS/2 keyboard sends it, with
// the keyboard's own repeat. Grabbed while it types, so that nothing else sees
// its keys; Left Shift + Right Shift + Esc ends it.
#pragma once
#include <linux/input.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "sim/program/options.h"
#include "sim/receiver/keycodes.h"
#include "sim/receiver/send.h"

namespace velquin::sim {

// Opens the keyboard `path`, non-blocking, before anything is made: its
// descriptor, or -1 when it
// cannot be opened, is no input device, or lacks Esc or either Shift, which
// end it; said, with the status (2) in `status`.
int keyboardopen(const std::string& path, int& status);

// A key event as the device reported it, in order.
struct keyevent {
  std::uint16_t key = 0;  // lost: events were lost, the keys held brought up to date after it
  bool press = false;
  bool caughtup = false;  // made so, not reported
  steady::time_point at{};
};
inline constexpr std::uint16_t lost = 0;

// What a grabbed keyboard reports, taken as it comes whatever is being sent,
// into a queue of its own: key presses and releases (its own repeats left
// out) until Esc is pressed with both Shifts held, which ends it. After lost
// events (SYN_DROPPED, or a full queue) it takes nothing up to a report, or
// the chord, then brings the keys held up to date from what `actual` says of
// them.
struct keyreader {
  std::function<bool(std::span<std::uint8_t>)> actual;  // a bit a key number, as EVIOCGKEY
  std::function<void()> said;                           // events were lost, once a drop
  bool stamped = false;  // events carry monotonic times, which a key event takes
  bool ended = false;    // the chord came
  heldkeys seen;         // held, by the events taken
  bool leftshift = false;
  bool rightshift = false;
  bool dropping = false;
  static constexpr std::size_t room = 4096;
  // Kept for bringing the keys held up to date: every key held to come up,
  // as many to go down, and the mark of the loss.
  static constexpr std::size_t reserve = 2 * heldkeys::most + 1;
  std::array<keyevent, room> queue{};
  std::size_t head = 0;
  std::size_t count = 0;

  void take(const input_event& e, steady::time_point at);
  bool next(keyevent& e);

 private:
  void push(const keyevent& e);
  void catchup(steady::time_point at);
};

// The keyboard as the receiver's line knows it: the keys it was sent as held,
// its repeat, and the frames of its key events gathered into batches, a batch
// an event unless `grouped`.
struct keyplayer {
  const std::string& path;
  gatherer g;
  bool grouped = false;
  typematic repeat{};
  heldkeys sent{};
  std::bitset<KEY_CNT> named{};  // keys said to have no set-2 code

  // Sends what `e` sends, or what a repeat does: false once sending stops.
  bool play(const keyevent& e);
  bool send(const bytes& codes);
  // Releases the keys still held, latest first.
  bool releaseall();
};

// Types from the keyboard opened as `fd` until the chord ends it or it is
// unplugged, every key event a batch (`o.group` frames a batch, if given),
// then releases the keys still held, latest first. At its turn it waits until
// no key is held, grabs the keyboard and drops what was queued before. 0, or
// 1 when it cannot be grabbed or fails; said.
int typekeys(const options& o, const std::string& path, int fd, sender& out, const sink& to);

}  // namespace velquin::sim
