// Command-line options: one table that the parser, --help, the manual page and the shell
// completion all read, so that an option added to it appears everywhere.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "emu/emulated_drive.h"
#include "system/runtime.h"

// Exit codes (documented in --help, the manual page and the README).
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
    bool check = false;           // --check: the image through every family, no drive touched
    bool restorePolling = false;  // --restore-polling: undo DUALDOWNLOAD's host changes
    bool history = false;         // --history: the downloads recorded, no drive touched
    bool list = false;            // --list: every drive of the transport, nothing downloaded
    bool json = false;            // the mode's output as JSON
    bool all = false;             // --all: every drive of the family at once, one batch run each
    TransportChoice transport = TransportChoice::Sr;
    bool transportGiven = false;
    std::vector<std::string> devices;
    std::vector<EmulatedDriveSpec> emulate;
    std::string tracePath;
    std::string firmwarePath;  // the first plain argument

    // --check for the one drive of --device or --emulate rather than for the image alone.
    bool DriveCheck() const { return check && (!devices.empty() || !emulate.empty()); }
};

// What the shell offers for an option's value.
enum class ValueKind {
    None,           // the option takes no value
    Choice,         // one of the words of `value`, separated by '|'
    File,           // a file name
    DeviceNode,     // a device node under /dev
    EmulatedDrive,  // a family, then KEY=VALUE items of EmulateKeys()
};

struct OptionRow {
    const char* name;   // "--transport"
    const char* alias;  // a short form ("-h"), or null
    const char* value;  // what the value after '=' looks like; null when it takes none
    ValueKind kind;
    const char* help;  // one paragraph; each reader wraps it to its own width
    // Stores the option in `o`; false with a message in `error`. `value` is empty for an
    // option without one.
    bool (*apply)(const std::string& value, Options& o, std::string& error);
};

// Every option, in the order --help lists them.
std::span<const OptionRow> OptionTable();

struct ExitStatus {
    const char* code;  // "0", or "128+N" for a range
    const char* meaning;
};
std::span<const ExitStatus> ExitStatuses();

// Parses argv[1..]. False with a message in `error` (for standard error).
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

// The --help text for a program started under `title`.
std::string HelpText(const std::string& title);

// `text` broken into lines of at most `width` characters (longer words stand alone), each
// starting with `indent` blanks.
std::string Wrapped(const std::string& text, size_t indent, size_t width);
