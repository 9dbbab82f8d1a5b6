#include "app/cli/front_end.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/cli/all_drives.h"
#include "app/cli/console_ui.h"
#include "app/cli/drive_list.h"
#include "app/cli/image_check.h"
#include "app/cli/options.h"
#include "app/cli/signals.h"
#include "drives/main_dialog.h"
#include "emu/emulated_drive.h"
#include "emu/emulated_host.h"
#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/autoinsert.h"
#include "system/clocks.h"
#include "system/history.h"
#include "system/linux_devices.h"
#include "system/linux_host.h"
#include "system/linux_host_settings.h"
#include "system/linux_priority.h"
#include "system/runtime.h"
#include "system/trace.h"

namespace {

// Everything the run plugs into the runtime; lives until the program ends.
struct Plugged {
    std::unique_ptr<ClockPort> clock;
    std::unique_ptr<TracingClock> tracingClock;
    std::unique_ptr<DevicePort> devices;
    std::unique_ptr<PriorityPort> priority;
    std::unique_ptr<HostPort> host;
    std::unique_ptr<HostSettingsPort> hostSettings;
    std::unique_ptr<Trace> trace;
    std::unique_ptr<RealClock> historyClock;  // records carry the real time, emulated or not
    std::unique_ptr<History> history;
    std::unique_ptr<TracingUi> tracingUi;
    std::unique_ptr<TransportSet> backends;

    // At exit, the back ends go first: that cuts a worker still running an abandoned command off
    // from the program. The device port next, which lets a call still held in it return; the
    // clock it waits on last.
    ~Plugged() {
        backends.reset();
        history.reset();
        tracingUi.reset();
        trace.reset();
        host.reset();
        priority.reset();
        devices.reset();
        tracingClock.reset();
        clock.reset();
    }
};
Plugged g_plugged;

UiPort* WrapUi(UiPort* inner) {
    if (!g_plugged.trace) return inner;
    g_plugged.tracingUi = std::make_unique<TracingUi>(*inner, *g_plugged.trace);
    return g_plugged.tracingUi.get();
}

int ExitCodeFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Succeeded:
            return kExitOk;
        case Outcome::Failed:
            return kExitFailed;
        case Outcome::NothingDone:
            break;
    }
    return kExitNothingDone;
}

const char* OutcomeWord(Outcome outcome) {
    switch (outcome) {
        case Outcome::Succeeded:
            return "complete";
        case Outcome::Failed:
            return "failed";
        case Outcome::NothingDone:
            break;
    }
    return "nothing done";
}

// The identity and revision the procedure read after the drive stored the image, as the scan's
// list has them (bytes 8 to 35); empty when it read none.
std::string IdentityAfter(const DownloadRecord& record) {
    if (!record.identityAfter) return {};
    return *record.identityAfter + record.revisionAfter.value_or("");
}

// Nothing of the start-up runs: no scan, no program name check, no real device.
int RunCheck(const Options& o) {
    std::vector<FamilyCheck> checks = CheckImage(o.firmwarePath, rt().programId, o.transport);
    for (const FamilyCheck& c : checks) std::printf("%s\n", CheckLine(c).c_str());
    std::fflush(stdout);
    PrintCheckNotes(checks);
    return CheckStatus(checks);
}

// The history only: no scan, no drive, no window.
int RunHistory(const Options& o) {
    const std::string path = ProcessHistoryFile();
    RealClock clock;
    std::vector<DownloadRecord> records;
    size_t skipped = 0;
    std::string why;
    if (!ReadHistory(path, clock, records, skipped, why)) {
        std::fprintf(stderr, "%s: cannot read the history: %s\n", rt().appTitle.c_str(),
                     why.c_str());
        return kExitFailed;
    }
    if (skipped)
        std::fprintf(stderr, "%s: %zu line%s of %s could not be read as a record: skipped\n",
                     rt().appTitle.c_str(), skipped, skipped == 1 ? "" : "s", path.c_str());
    std::fputs((o.json ? HistoryJson(records) : HistoryTable(records)).c_str(), stdout);
    return kExitOk;
}

int RunBatch(const Options& o) {
    // Nothing reads the signal pipe outside a procedure: a stop ends the run there and then.
    SetStopAtOnce(true);
    ConsoleUi console(stdout, stderr, o.yes, isatty(STDOUT_FILENO) != 0);
    rt().ui = WrapUi(&console);
    CDISCFLASHDlg dialog;
    dialog.m_strFirmwarePath = o.firmwarePath;
    if (!dialog.OnInitDialog()) return kExitRefused;
    console.PrintDrives();
    if (int sig = TakeSignal(); sig && sig != SIGUSR1) return 128 + sig;
    dialog.OnOK();
    console.PrintDownloadEnd(IdentityAfter(dialog.m_record), OutcomeWord(dialog.LastOutcome()));
    // The dialog would simply do nothing; a script deserves to know why.
    if (const char* why = dialog.NothingDoneReason())
        std::fprintf(stderr, "%s: nothing was done: %s\n", rt().appTitle.c_str(), why);
    if (int sig = console.PendingStop()) {
        // The download has had its end; the stop asked for is what the status reports.
        std::fprintf(stderr, "%s: stopped by signal %d after the download\n", rt().appTitle.c_str(),
                     sig);
        return 128 + sig;
    }
    return ExitCodeFor(dialog.LastOutcome());
}

// Undoes DUALDOWNLOAD's host changes. None of the start-up runs: any program name, no question.
int RunRestorePolling() {
    SetStopAtOnce(true);
    ConsoleUi console(stdout, stderr, false, false);
    rt().ui = WrapUi(&console);
    std::vector<std::string> blocks;
    std::string why;
    if (!RestoreAutoInsert(blocks, why)) {
        std::fprintf(stderr, "%s: %s\n", rt().appTitle.c_str(), why.c_str());
        return kExitFailed;
    }
    std::string on;
    for (const std::string& block : blocks) on += " " + block;
    std::printf("udev rule removed; media polling at the kernel default for:%s\n",
                on.empty() ? " no listed drive" : on.c_str());
    return kExitOk;
}

}  // namespace

int RunProgram(int argc, char** argv, DialogEntry dialog) {
    SetProgramName(argc > 0 ? argv[0] : "discflash");
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, o, error)) {
        std::fprintf(stderr, "%s: %s\n", rt().appTitle.c_str(), error.c_str());
        return kExitUsage;
    }
    if (o.help) {
        std::fputs(HelpText(rt().appTitle).c_str(), stdout);
        return kExitOk;
    }
    if (o.version) {
        std::printf("%s (discflash) %s\n", rt().appTitle.c_str(), DISCFLASH_VERSION);
        return kExitOk;
    }
    // A check for a drive needs the ports; one of the image alone touches nothing.
    const bool driveCheck = o.DriveCheck();
    if (o.check && !driveCheck) return RunCheck(o);
    if (o.history) return RunHistory(o);
    if (o.all) {
        if (std::string why = AllDrivesRefusal(); !why.empty()) {
            std::fprintf(stderr, "%s: %s\n", rt().appTitle.c_str(), why.c_str());
            return kExitUsage;
        }
    }
    if (!o.batch && !o.restorePolling && !o.list && !driveCheck && !dialog) {
        std::fprintf(stderr, "%s: built without its window: use --batch\n", rt().appTitle.c_str());
        return kExitUsage;
    }

    Runtime& r = rt();
    r.transport = o.transport;
    r.deviceFilter = o.devices;
    r.batch = o.batch;
    r.commandLineFile = o.firmwarePath;
    std::error_code ec;
    r.programFile = std::filesystem::canonical("/proc/self/exe", ec).string();

    bool emulated = !o.emulate.empty();
    VirtualClock* virtualClock = nullptr;
    if (emulated && !o.realTime) {
        auto vc = std::make_unique<VirtualClock>();
        virtualClock = vc.get();
        g_plugged.clock = std::move(vc);
    } else {
        g_plugged.clock = std::make_unique<RealClock>();
    }
    r.clock = g_plugged.clock.get();

    if (!o.tracePath.empty()) {
        // As root a link could lead the trace over any file of the system.
        std::string why;
        g_plugged.trace = Trace::Open(o.tracePath, o.firmwarePath, geteuid() == 0, why);
        if (!g_plugged.trace) {
            std::fprintf(stderr, "%s: %s\n", r.appTitle.c_str(), why.c_str());
            return kExitUsage;
        }
        r.trace = g_plugged.trace.get();
        g_plugged.tracingClock = std::make_unique<TracingClock>(*g_plugged.clock, *r.trace);
        r.clock = g_plugged.tracingClock.get();
    }

    // polkit may ask the user for the restart in the dialog; a batch run has no one to ask.
    bool interactive = !o.batch;
    if (emulated) {
        g_plugged.devices = std::make_unique<EmulatedDevicePort>(o.emulate, *g_plugged.clock);
        g_plugged.host = std::make_unique<EmulatedHost>(interactive);
        g_plugged.hostSettings = std::make_unique<EmulatedHostSettings>(o.emulate);
    } else {
        g_plugged.devices = std::make_unique<LinuxDevicePort>();
        g_plugged.host = std::make_unique<LinuxHost>(interactive);
        g_plugged.hostSettings = LinuxHostSettingsForThisProcess();
    }
    r.devices = g_plugged.devices.get();
    r.host = g_plugged.host.get();
    r.hostSettings = g_plugged.hostSettings.get();
    g_plugged.historyClock = std::make_unique<RealClock>();
    g_plugged.history = std::make_unique<History>(ProcessHistoryFile(), *g_plugged.historyClock,
                                                  emulated, !emulated);
    r.history = g_plugged.history.get();
    g_plugged.priority = std::make_unique<LinuxPriority>();
    r.priority = g_plugged.priority.get();
    g_plugged.backends = std::make_unique<TransportSet>();
    // On the virtual clock a no-wait command that is due must finish before time moves on.
    if (virtualClock) virtualClock->SetAfterAdvance([] { TransportQuiesce(); });

    InstallSignalPipe();
    const int status = o.restorePolling ? RunRestorePolling()
                       : o.list         ? RunDriveList(o, &WrapUi)
                       : driveCheck     ? RunDriveCheck(o, &WrapUi)
                       : o.all          ? RunAllDrives(o, argc, argv, &WrapUi)
                       : o.batch        ? RunBatch(o)
                                        : dialog(argc, argv, &WrapUi);
    // A trace that lost events says so; the status stays the download's.
    if (g_plugged.trace) {
        const std::string lost = g_plugged.trace->Finish();
        if (!lost.empty())
            std::fprintf(stderr, "%s: the trace '%s' is incomplete: %s\n", r.appTitle.c_str(),
                         o.tracePath.c_str(), lost.c_str());
    }
    return status;
}
