// A dialog over a fake back end, a fake UI, a virtual clock and a fake host, with the process-wide
// state of identification and dispatch reset around each test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drives/dispatch.h"
#include "drives/main_dialog.h"
#include "drives/test_hooks.h"
#include "support/fake_backend.h"
#include "support/fake_host.h"
#include "support/test_env.h"
#include "system/download_guard.h"

// FakeUi that also keeps every selection made, in order.
class SelectionRecordingUi : public FakeUi {
  public:
    std::vector<int> selections;
    void ListSelect(int index) override {
        selections.push_back(index);
        FakeUi::ListSelect(index);
    }
};

class DialogFixture : public ::testing::Test {
  protected:
    TestEnv env;
    SelectionRecordingUi ui;
    FakeBackend backend;
    FakeHost host;
    CDISCFLASHDlg dlg;

    void SetUp() override {
        rt().ui = &ui;
        rt().host = &host;
        SetBackends(&backend, &backend);
        ClearDispatchState();
    }
    void TearDown() override { ClearDispatchState(); }

    static void ClearDispatchState() {
        FreeReadBackBuffer();
        SetProcedureHookForTests(nullptr);
        FailReadBackAllocationForTests(false);
        SetProcedureRunning(false);
    }

    // Program started as `argv0` with drives of these 24-character identities.
    void Program(const std::string& argv0, const std::vector<std::string>& identities = {}) {
        SetProgramName(argv0);
        backend.drives.clear();
        for (const std::string& id : identities) backend.drives.push_back(FakeBackend::Drive(id));
    }

    static std::string Blanked(const std::string& text) {
        std::string s = text;
        s.resize(24, ' ');
        return s;
    }
};
