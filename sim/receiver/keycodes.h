// A keyboard's keys as a PS/2 keyboard sends them in scan-code set 2: the
// make and break codes of the keys Linux numbers (KEY_x), the keyboard's own
// repeat, and the keys held.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

#include "sim/receiver/keys.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {

// Shift, Ctrl and Alt, either hand's, held at a key event.
struct modifiers {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

// What a press (or a release) of Linux key `key` sends with `held` down:
// false, `out` untouched, for a key with no set-2 code. A key without a
// break code, and Pause, send nothing when released.
bool keysends(unsigned key, bool press, modifiers held, bytes& out);
// What the keyboard's repeat of `key` sends: its make code, Print Screen's as
// with Shift held (84 with Alt); nothing for Pause and the keys without a
// break code, which never repeat.
bytes keyrepeats(unsigned key, modifiers held);

// The keys held, in the order they were pressed.
struct heldkeys {
  static constexpr std::size_t most = 64;
  std::array<std::uint16_t, most> keys{};
  std::size_t count = 0;

  bool has(unsigned key) const;
  bool press(unsigned key);    // false when held already, or no room
  bool release(unsigned key);  // false when not held
  modifiers mods() const;
};

// The key events that bring `held` up to date with `actual`, a bit a key
// number as EVIOCGKEY fills it: releases of the keys no longer held, latest
// first, then presses of the keys newly held, to `event`.
void catchup(const heldkeys& held, std::span<const std::uint8_t> actual,
             const std::function<void(unsigned key, bool press)>& event);

// A PS/2 keyboard's typematic repeat: the last key pressed repeats, first
// `delay` after its press, then every `period`, until it is released; a new
// key takes over, and one that never repeats (Pause) ends it. Times are the
// key events' own.
struct typematic {
  std::chrono::milliseconds delay{500};
  std::chrono::milliseconds period{92};  // 0: no repeat
  unsigned key = 0;                      // repeating; 0: none
  steady::time_point due = never;        // of its next repeat

  void press(unsigned pressed, steady::time_point at);
  void release(unsigned released);
  // The key that repeats now, `due` moved on past `now`: a repeat missed
  // while sending was held up is skipped, not caught up. 0 when none is due.
  unsigned fire(steady::time_point now);
};

}  // namespace velquin::sim
