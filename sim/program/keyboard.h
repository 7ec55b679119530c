// Standard input as a keyboard: when it is the emulator's controlling
// terminal, every key goes out as it is pressed, Backspace and Ctrl-S
// included, while Ctrl-C and Ctrl-\ (quit) still end the run.
#pragma once

namespace velquin::sim {

inline constexpr char endoftyping = 0x04;  // Ctrl-D

// When standard input is the emulator's controlling terminal, typing from it
// begins: from now until keyboardoff(), whenever the emulator is in the
// terminal's foreground (at once, and at every continue) the terminal is in
// keyboard mode, non-canonical without echo or flow control, signals kept;
// Ctrl-Z puts it back before the emulator stops. False, touching nothing,
// otherwise (a pipe, a file, another terminal).
bool keyboardon();
// Typing from the terminal begins, its keys read from now on: while another
// job has the terminal the emulator stops (SIGTTIN), as job control expects
// of a reader of the terminal, and each time it is put in the background
// again; the terminal is set once it is in the foreground. False (errno)
// where the terminal refuses the read instead (an orphaned process group's,
// or one that ignores SIGTTIN).
bool keyboardready();
// An end signal came: the emulator no longer stops itself to wait for the
// terminal, so that the run ends though another job has it.
// Async-signal-safe.
void keyboardending();
// Typing from the terminal has ended: the terminal is put back as it was
// found, if it is in keyboard mode and the emulator in its foreground, and
// nothing switches it again. Async-signal-safe.
void keyboardoff();

}  // namespace velquin::sim
