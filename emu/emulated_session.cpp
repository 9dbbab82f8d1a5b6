#include "emu/emulated_session.h"

#include "drives/catalogue.h"
#include "drives/dispatch.h"
#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/trace.h"

EmulatedSession::EmulatedSession(const std::string& program, std::vector<EmulatedDriveSpec> drives,
                                 TransportChoice transport, UiPort& ui, Trace* trace) {
    ResetProcessState();
    Runtime& r = rt();
    SetProgramName(program);
    r.ui = &ui;
    r.clock = &clock_;
    if (trace) {
        tracingUi_ = std::make_unique<TracingUi>(ui, *trace);
        tracingClock_ = std::make_unique<TracingClock>(clock_, *trace);
        r.trace = trace;
        r.ui = tracingUi_.get();
        r.clock = tracingClock_.get();
    }
    port_ = std::make_unique<EmulatedDevicePort>(std::move(drives), clock_);
    r.devices = port_.get();
    r.host = &host_;
    r.transport = transport;
    r.batch = true;
    backends_ = std::make_unique<TransportSet>();
    clock_.SetAfterAdvance([] { TransportQuiesce(); });
}

EmulatedSession::~EmulatedSession() {
    clock_.SetAfterAdvance(nullptr);
    CloseDrive();
    ReleaseAspiLibrary();
    backends_.reset();
    ResetProcessState();
}

void ResetProcessState() {
    ResetRuntime();
    transport().Reset();
    identification().Reset();
    FreeReadBackBuffer();
}
