// The process-wide environment of the core: which ports are plugged in and the
// program's identity. Front ends fill it before the dialog starts; tests fill it with fakes.
#pragma once

#include <string>
#include <vector>

#include "system/ports.h"

class History;
class Trace;

enum class TransportChoice { Sr, Sg };

struct Runtime {
    UiPort* ui = nullptr;
    ClockPort* clock = nullptr;
    PriorityPort* priority = nullptr;
    DevicePort* devices = nullptr;
    HostPort* host = nullptr;
    HostSettingsPort* hostSettings = nullptr;  // null: no drive is polled, nothing is changed
    Trace* trace = nullptr;                    // may stay null: nothing is traced
    History* history = nullptr;                // may stay null: no download is recorded

    // argv[0]'s base name as spelled: the application title and the default caption.
    std::string appTitle = "discflash";
    // The base name without extension, upper-cased.
    std::string programId = "DISCFLASH";

    TransportChoice transport = TransportChoice::Sr;
    std::vector<std::string> deviceFilter;  // --device, in the given order; empty: all nodes
    bool batch = false;
    std::string commandLineFile;  // the firmware file named on the command line, if any
    std::string programFile;      // the running binary's full path, for advice; may be empty
    std::string lastMessage;      // the text of the last box shown, for the download history
};

Runtime& rt();

// Resets the runtime to its defaults (null ports). For tests.
void ResetRuntime();

// Program identity from argv[0]: title = base name as spelled, id = without extension, upper-case.
void SetProgramName(const std::string& argv0);

// ---- helpers every part of the core uses -------------------------------------------------------

// A modal box through the UI port, traced; an empty caption shows the application title. The
// notes given since the last box are its detail: a note comes before the box it explains.
int ShowMessage(const std::string& text, const std::string& caption = "", unsigned type = MB_OK);

void SleepMs(uint32_t ms);  // through the clock port, traced

// A note through the UI port: the cause of what the user saw, and the way out, in Linux terms.
void Note(const std::string& text);
// Notes not yet shown with a box are dropped: a command starts, and what an earlier one noted
// explains none of its boxes.
void ForgetNotes();

// Asks the host for a restart and waits for the answer, pumping the UI port and sleeping on the
// clock port meanwhile. 1 when the request was accepted, 0 when not (or there is no host).
int RestartSystem();
