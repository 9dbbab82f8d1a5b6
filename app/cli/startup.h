// What the process puts right before anything else runs: its standard descriptors, the
// environment when it runs with raised rights, the signals that only report on a file.
#pragma once

#include <string>
#include <vector>

// First thing in main. Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later becomes one of them (console text would go into the trace, or
// into /dev/sgN where a write is a SCSI command); ends the process with status 2 when it cannot.
// In secure mode (`secure`: the kernel started it with raised rights, getauxval(AT_SECURE)) it
// replaces the environment by SecureEnvironment's. Ignores the signals that only report on a
// file. `trustProgramDirectory` is for the test build alone, which runs from the build tree.
void PrepareProcess(bool secure, bool trustProgramDirectory = false);

// Whether PrepareProcess ran in secure mode.
bool SecureMode();
// Whether, in secure mode, the program's directory may hold what the window loads (Qt looks
// there for plugins and qt.conf): only root may change it (OnlyRootMayWrite), or this is the
// test build.
bool ProgramDirectoryTrusted(const std::string& programFile);

// The entries ("NAME=VALUE") of `env` that a process with raised rights keeps, in order, the
// first of a name only: DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, XDG_RUNTIME_DIR, HOME, TZ (without
// ".."), LANG and LC_* (a locale name, never a path), QT_QPA_PLATFORM (xcb, wayland or offscreen
// only). Everything else goes: what it names, the libraries the window loads would read as code
// or paths, and they do not know about raised rights.
std::vector<std::string> SecureEnvironment(const std::vector<std::string>& env);

// Whether only root may change what lies in `dir`: it and every directory above it belong to root
// and neither their group nor others may write to them.
bool OnlyRootMayWrite(const std::string& dir);
