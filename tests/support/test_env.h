// Puts the process-wide state into a known, fake-backed shape for one test, and back afterwards.
#pragma once

#include "drives/catalogue.h"
#include "emu/emulated_session.h"
#include "scsi/transport.h"
#include "support/fake_ui.h"
#include "system/clocks.h"
#include "system/runtime.h"

struct TestEnv {
    FakeUi ui;
    VirtualClock clock;

    TestEnv() {
        Reset();
        rt().ui = &ui;
        rt().clock = &clock;
    }
    ~TestEnv() { Reset(); }
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    static void Reset() {
        ResetProcessState();
        SetBackends(nullptr, nullptr);
    }
};
