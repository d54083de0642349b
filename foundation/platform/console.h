// The console of the terminal a program was started from.
#pragma once

// Windows: a GUI-subsystem program gets no console, so what it prints goes nowhere; this
// attaches it to its parent's console (the terminal it was started from) and points the
// standard streams that the parent did not redirect at it. A stream the parent handed over
// (a pipe, a file) stays as it is. Without a parent console nothing changes.
// POSIX: the standard streams are the terminal's already; nothing happens.
void PLAT_AttachParentConsole();
