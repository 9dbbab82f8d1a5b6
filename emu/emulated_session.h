// One run over emulated drives in this process, wired as `--batch --emulate` wires it: the drives'
// device port on a virtual clock, an emulated host, the Linux back ends, and the clock's hook
// that lets a no-wait command finish before time moves on. --check, the procedure benchmark and
// the tests run their downloads this way, one after another in one process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emu/emulated_drive.h"
#include "emu/emulated_host.h"
#include "system/clocks.h"
#include "system/runtime.h"

class Trace;
class TracingUi;
class TracingClock;
class TransportSet;

class EmulatedSession {
  public:
    // The process state starts afresh; `ui` stays the caller's. With a trace, what the UI shows
    // and every sleep are recorded, as --trace records them.
    EmulatedSession(const std::string& program, std::vector<EmulatedDriveSpec> drives,
                    TransportChoice transport, UiPort& ui, Trace* trace = nullptr);
    // Closes the drive and leaves the process state as at start.
    ~EmulatedSession();
    EmulatedSession(const EmulatedSession&) = delete;
    EmulatedSession& operator=(const EmulatedSession&) = delete;

    VirtualClock& Clock() { return clock_; }
    EmulatedDevicePort& Port() { return *port_; }

  private:
    VirtualClock clock_;
    EmulatedHost host_{false};
    std::unique_ptr<TracingUi> tracingUi_;
    std::unique_ptr<TracingClock> tracingClock_;
    std::unique_ptr<EmulatedDevicePort> port_;
    std::unique_ptr<TransportSet> backends_;
};

// The process-wide state as at start: runtime, transport and identification (not the back ends),
// and no read-back buffer.
void ResetProcessState();
