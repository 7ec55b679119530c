#include "sim/receiver/keycodes.h"

#include <linux/input.h>

#include <algorithm>
#include <iterator>

namespace velquin::sim {
namespace {

enum : std::uint8_t {
  extended = 1,     // E0 before the code: E0 75 and E0 F0 75
  nobreak = 2,      // sent when pressed only
  printscreen = 4,  // E0 12 E0 7C, and otherwise with Shift, Ctrl or Alt held
  pausekey = 8,     // E1 14 77 E1 F0 14 F0 77, or E0 7E E0 F0 7E with Ctrl
};

struct keyrow {
  std::uint16_t key;  // Linux's key number
  std::uint8_t code;  // set-2 make code
  std::uint8_t flags;
};

// A 105-key keyboard row by row, its keypad, then the Windows-era extra keys:
// ACPI, multimedia, F13 to F24, and the Japanese, Brazilian and Korean keys.
// clang-format off
//  key                    code  flags
constexpr keyrow keyrows[] = {
    {KEY_ESC,              0x76, 0},
    {KEY_F1,               0x05, 0},
    {KEY_F2,               0x06, 0},
    {KEY_F3,               0x04, 0},
    {KEY_F4,               0x0C, 0},
    {KEY_F5,               0x03, 0},
    {KEY_F6,               0x0B, 0},
    {KEY_F7,               0x83, 0},
    {KEY_F8,               0x0A, 0},
    {KEY_F9,               0x01, 0},
    {KEY_F10,              0x09, 0},
    {KEY_F11,              0x78, 0},
    {KEY_F12,              0x07, 0},
    {KEY_SYSRQ,            0x7C, extended | printscreen},
    {KEY_SCROLLLOCK,       0x7E, 0},
    {KEY_PAUSE,            0x77, pausekey},
    {KEY_GRAVE,            0x0E, 0},
    {KEY_1,                0x16, 0},
    {KEY_2,                0x1E, 0},
    {KEY_3,                0x26, 0},
    {KEY_4,                0x25, 0},
    {KEY_5,                0x2E, 0},
    {KEY_6,                0x36, 0},
    {KEY_7,                0x3D, 0},
    {KEY_8,                0x3E, 0},
    {KEY_9,                0x46, 0},
    {KEY_0,                0x45, 0},
    {KEY_MINUS,            0x4E, 0},
    {KEY_EQUAL,            0x55, 0},
    {KEY_BACKSPACE,        0x66, 0},
    {KEY_INSERT,           0x70, extended},
    {KEY_HOME,             0x6C, extended},
    {KEY_PAGEUP,           0x7D, extended},
    {KEY_NUMLOCK,          0x77, 0},
    {KEY_KPSLASH,          0x4A, extended},
    {KEY_KPASTERISK,       0x7C, 0},
    {KEY_KPMINUS,          0x7B, 0},
    {KEY_TAB,              0x0D, 0},
    {KEY_Q,                0x15, 0},
    {KEY_W,                0x1D, 0},
    {KEY_E,                0x24, 0},
    {KEY_R,                0x2D, 0},
    {KEY_T,                0x2C, 0},
    {KEY_Y,                0x35, 0},
    {KEY_U,                0x3C, 0},
    {KEY_I,                0x43, 0},
    {KEY_O,                0x44, 0},
    {KEY_P,                0x4D, 0},
    {KEY_LEFTBRACE,        0x54, 0},
    {KEY_RIGHTBRACE,       0x5B, 0},
    {KEY_BACKSLASH,        0x5D, 0},
    {KEY_DELETE,           0x71, extended},
    {KEY_END,              0x69, extended},
    {KEY_PAGEDOWN,         0x7A, extended},
    {KEY_KP7,              0x6C, 0},
    {KEY_KP8,              0x75, 0},
    {KEY_KP9,              0x7D, 0},
    {KEY_KPPLUS,           0x79, 0},
    {KEY_CAPSLOCK,         0x58, 0},
    {KEY_A,                0x1C, 0},
    {KEY_S,                0x1B, 0},
    {KEY_D,                0x23, 0},
    {KEY_F,                0x2B, 0},
    {KEY_G,                0x34, 0},
    {KEY_H,                0x33, 0},
    {KEY_J,                0x3B, 0},
    {KEY_K,                0x42, 0},
    {KEY_L,                0x4B, 0},
    {KEY_SEMICOLON,        0x4C, 0},
    {KEY_APOSTROPHE,       0x52, 0},
    {KEY_ENTER,            0x5A, 0},
    {KEY_KP4,              0x6B, 0},
    {KEY_KP5,              0x73, 0},
    {KEY_KP6,              0x74, 0},
    {KEY_LEFTSHIFT,        0x12, 0},
    {KEY_102ND,            0x61, 0},
    {KEY_Z,                0x1A, 0},
    {KEY_X,                0x22, 0},
    {KEY_C,                0x21, 0},
    {KEY_V,                0x2A, 0},
    {KEY_B,                0x32, 0},
    {KEY_N,                0x31, 0},
    {KEY_M,                0x3A, 0},
    {KEY_COMMA,            0x41, 0},
    {KEY_DOT,              0x49, 0},
    {KEY_SLASH,            0x4A, 0},
    {KEY_RIGHTSHIFT,       0x59, 0},
    {KEY_UP,               0x75, extended},
    {KEY_KP1,              0x69, 0},
    {KEY_KP2,              0x72, 0},
    {KEY_KP3,              0x7A, 0},
    {KEY_KPENTER,          0x5A, extended},
    {KEY_LEFTCTRL,         0x14, 0},
    {KEY_LEFTMETA,         0x1F, extended},
    {KEY_LEFTALT,          0x11, 0},
    {KEY_SPACE,            0x29, 0},
    {KEY_RIGHTALT,         0x11, extended},
    {KEY_RIGHTMETA,        0x27, extended},
    {KEY_COMPOSE,          0x2F, extended},
    {KEY_RIGHTCTRL,        0x14, extended},
    {KEY_LEFT,             0x6B, extended},
    {KEY_DOWN,             0x72, extended},
    {KEY_RIGHT,            0x74, extended},
    {KEY_KP0,              0x70, 0},
    {KEY_KPDOT,            0x71, 0},
    {KEY_POWER,            0x37, extended},
    {KEY_SLEEP,            0x3F, extended},
    {KEY_WAKEUP,           0x5E, extended},
    {KEY_NEXTSONG,         0x4D, extended},
    {KEY_PREVIOUSSONG,     0x15, extended},
    {KEY_STOPCD,           0x3B, extended},
    {KEY_PLAYPAUSE,        0x34, extended},
    {KEY_MUTE,             0x23, extended},
    {KEY_VOLUMEUP,         0x32, extended},
    {KEY_VOLUMEDOWN,       0x21, extended},
    {KEY_MEDIA,            0x50, extended},
    {KEY_MAIL,             0x48, extended},
    {KEY_CALC,             0x2B, extended},
    {KEY_COMPUTER,         0x40, extended},
    {KEY_SEARCH,           0x10, extended},
    {KEY_HOMEPAGE,         0x3A, extended},
    {KEY_BACK,             0x38, extended},
    {KEY_FORWARD,          0x30, extended},
    {KEY_STOP,             0x28, extended},
    {KEY_REFRESH,          0x20, extended},
    {KEY_BOOKMARKS,        0x18, extended},
    {KEY_F13,              0x08, 0},
    {KEY_F14,              0x10, 0},
    {KEY_F15,              0x18, 0},
    {KEY_F16,              0x20, 0},
    {KEY_F17,              0x28, 0},
    {KEY_F18,              0x30, 0},
    {KEY_F19,              0x38, 0},
    {KEY_F20,              0x40, 0},
    {KEY_F21,              0x48, 0},
    {KEY_F22,              0x50, 0},
    {KEY_F23,              0x57, 0},
    {KEY_F24,              0x5F, 0},
    {KEY_KPEQUAL,          0x0F, 0},
    {KEY_KPCOMMA,          0x6D, 0},
    {KEY_RO,               0x51, 0},
    {KEY_KATAKANAHIRAGANA, 0x13, 0},
    {KEY_HIRAGANA,         0x62, 0},
    {KEY_YEN,              0x6A, 0},
    {KEY_HENKAN,           0x64, 0},
    {KEY_MUHENKAN,         0x67, 0},
    {KEY_HANGEUL,          0xF2, nobreak},
    {KEY_HANJA,            0xF1, nobreak},
};
// clang-format on

// Every key once, and no two keys with one code (but Pause, whose 77 is
// Num Lock's inside E1 14 77): a key event sent reads back as its key.
constexpr bool distinct() {
  for (auto a = std::begin(keyrows); a != std::end(keyrows); ++a) {
    for (auto b = std::next(a); b != std::end(keyrows); ++b) {
      const bool samecode = a->code == b->code && (a->flags & extended) == (b->flags & extended) &&
                            ((a->flags | b->flags) & pausekey) == 0;
      if (a->key == b->key || samecode) return false;
    }
  }
  return true;
}
static_assert(distinct());

constexpr std::uint8_t pauseprefix = 0xE1;  // E1 14 77: Pause, as Ctrl and Num Lock
constexpr std::uint8_t fakeshift = 0x12;    // E0 12: the Shift Print Screen stands for
constexpr std::uint8_t sysrq = 0x84;        // Alt + Print Screen
constexpr std::uint8_t ctrlbreak = 0x7E;    // E0 7E: Ctrl + Pause

const keyrow* row(unsigned key) {
  const auto r = std::find_if(std::begin(keyrows), std::end(keyrows),
                              [key](const keyrow& k) { return k.key == key; });
  return r == std::end(keyrows) ? nullptr : r;
}

void append(bytes& out, std::initializer_list<std::uint8_t> b) {
  out.insert(out.end(), b);
}

}  // namespace

bool keysends(unsigned key, bool press, modifiers held, bytes& out) {
  const keyrow* k = row(key);
  if (k == nullptr) return false;
  if ((k->flags & pausekey) != 0) {
    // Nothing on release: the keyboard sent the break codes with the make.
    if (press && held.ctrl) {
      append(out, {extendedprefix, ctrlbreak, extendedprefix, releaseprefix, ctrlbreak});
    } else if (press) {
      append(out, {pauseprefix, 0x14, 0x77, pauseprefix, releaseprefix, 0x14, releaseprefix, 0x77});
    }
  } else if ((k->flags & printscreen) != 0 && held.alt) {
    if (!press) out.push_back(releaseprefix);
    out.push_back(sysrq);
  } else if ((k->flags & printscreen) != 0 && !held.shift && !held.ctrl) {
    if (press) {
      append(out, {extendedprefix, fakeshift, extendedprefix, k->code});
    } else {
      append(out,
             {extendedprefix, releaseprefix, k->code, extendedprefix, releaseprefix, fakeshift});
    }
  } else if (press || (k->flags & nobreak) == 0) {
    if ((k->flags & extended) != 0) out.push_back(extendedprefix);
    if (!press) out.push_back(releaseprefix);
    out.push_back(k->code);
  }
  return true;
}

bytes keyrepeats(unsigned key, modifiers held) {
  const keyrow* k = row(key);
  if (k == nullptr || (k->flags & (pausekey | nobreak)) != 0) return {};
  // Print Screen repeats its E0 7C alone, as when Shift is held.
  bytes out;
  keysends(key, true, {true, false, held.alt}, out);
  return out;
}

bool heldkeys::has(unsigned key) const {
  return std::find(keys.begin(), keys.begin() + static_cast<long>(count), key) !=
         keys.begin() + static_cast<long>(count);
}

bool heldkeys::press(unsigned key) {
  if (has(key) || count == most) return false;
  keys[count++] = static_cast<std::uint16_t>(key);
  return true;
}

bool heldkeys::release(unsigned key) {
  const auto end = keys.begin() + static_cast<long>(count);
  const auto at = std::find(keys.begin(), end, key);
  if (at == end) return false;
  std::copy(at + 1, end, at);
  --count;
  return true;
}

modifiers heldkeys::mods() const {
  return {has(KEY_LEFTSHIFT) || has(KEY_RIGHTSHIFT), has(KEY_LEFTCTRL) || has(KEY_RIGHTCTRL),
          has(KEY_LEFTALT) || has(KEY_RIGHTALT)};
}

void catchup(const heldkeys& held, std::span<const std::uint8_t> actual,
             const std::function<void(unsigned key, bool press)>& event) {
  const auto down = [&](unsigned key) {
    return key / 8 < actual.size() && (actual[key / 8] >> (key % 8) & 1) != 0;
  };
  for (std::size_t k = held.count; k-- > 0;) {
    if (!down(held.keys[k])) event(held.keys[k], false);
  }
  for (unsigned key = 0; key < actual.size() * 8; ++key) {
    if (down(key) && !held.has(key)) event(key, true);
  }
}

void typematic::press(unsigned pressed, steady::time_point at) {
  const bool repeats = period.count() > 0 && !keyrepeats(pressed, {}).empty();
  key = repeats ? pressed : 0;
  due = repeats ? at + delay : never;
}

void typematic::release(unsigned released) {
  if (released != key) return;
  key = 0;
  due = never;
}

unsigned typematic::fire(steady::time_point now) {
  if (key == 0 || now < due) return 0;
  due += period * ((now - due) / period + 1);
  return key;
}

}  // namespace velquin::sim
