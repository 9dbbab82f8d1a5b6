// Command-line options.
#pragma once

#include <string>
#include <vector>

#include "emu/emulated_drive.h"
#include "system/runtime.h"

// Exit codes (documented in --help and the README).
constexpr int kExitOk = 0;           // the download succeeded (or, in the dialog, normal end)
constexpr int kExitFailed = 1;       // the download failed
constexpr int kExitRefused = 2;      // start-up refused to go on (batch)
constexpr int kExitNothingDone = 3;  // no drive, no procedure for the kind, or no file (batch)
constexpr int kExitUsage = 64;       // bad command line

struct Options {
    bool help = false;
    bool version = false;
    bool batch = false;
    bool yes = false;
    bool realTime = false;
    bool check = false;  // --check: the image through every family, no drive touched
    TransportChoice transport = TransportChoice::Sr;
    std::vector<std::string> devices;
    std::vector<EmulatedDriveSpec> emulate;
    std::string tracePath;
    std::string firmwarePath;  // the first plain argument
};

// Parses argv[1..]. False with a message in `error` (for standard error).
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

// The --help text for a program started under `title`.
std::string HelpText(const std::string& title);
