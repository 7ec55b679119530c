// Standard input as a keyboard: a terminal in the foreground sends every key
// as it is pressed, Backspace and Ctrl-S included, while Ctrl-C and Ctrl-\ (quit)
// still end the run.
#pragma once

namespace velquin::sim {

inline constexpr char endoftyping = 0x04;  // Ctrl-D

// When standard input is a terminal in the foreground, switches it to
// non-canonical mode without echo or flow control, signals kept, until
// keyboardoff(); puts it back for Ctrl-Z and sets it again on SIGCONT. False,
// touching nothing, otherwise (started in the background, a pipe).
bool keyboardon();
// Puts the terminal back as it was, if keyboardon() switched it and the
// emulator is in the terminal's foreground; never stops the emulator.
// Async-signal-safe.
void keyboardoff();

}  // namespace velquin::sim
