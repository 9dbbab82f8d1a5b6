// CPU time of a whole download per MiB of image: the largest image each procedure accepts, from
// the command line, against the emulated drive of its family on the virtual clock, so that no
// wait is timed; with the trace off and on. The time is the process's (the pass-through back end
// runs a no-wait command on a worker thread) and includes the emulated drive's work; setting up
// and scanning are not timed. cpu_ms_per_MiB is the mean of the timed downloads, which follow
// one untimed download whose cost (first_ms_per_MiB) includes the process's first touches of
// its memory and code, as the one download of a real run pays them. Goal: 3 ms per MiB with the
// trace off, and with it on for LD5871 and LD4630, whose read-back comparison steps the bar every
// 10 bytes.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "drives/main_dialog.h"
#include "emu/emulated_session.h"
#include "emu/sample_images.h"
#include "system/linux_priority.h"
#include "system/silent_ui.h"
#include "system/trace.h"

namespace {

// One family per procedure.
constexpr const char* kFamilies[] = {
    "LD3411",   // ROM image
    "LD4741",   // loader switch
    "LDMULTI",  // microcode
    "LD5871",   // CD-ROM
    "LD4630",   // checked image
    "LD5861",   // power-off
};

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A batch run of one family's program with an emulated drive, the thread's priority handled as
// in a real run.
struct EmulatedRun {
    SilentUi ui;
    std::unique_ptr<Trace> trace;
    LinuxPriority priority;
    std::unique_ptr<EmulatedSession> session;

    EmulatedRun(const std::string& id, const std::string& image, FILE* traceTo) {
        if (traceTo) trace = std::make_unique<Trace>(traceTo);
        EmulatedDriveSpec spec;
        std::string why;
        ParseEmulateOption(id, spec, why);
        session = std::make_unique<EmulatedSession>(id, std::vector<EmulatedDriveSpec>{spec},
                                                    TransportChoice::Sr, ui, trace.get());
        rt().priority = &priority;
        rt().commandLineFile = image;
    }
};

void BM_Download(benchmark::State& state) {
    const char* id = kFamilies[state.range(0)];
    const bool traced = state.range(1) != 0;
    const SampleImageRule* rule = FindSampleImageRule(id);
    std::vector<uint8_t> image;
    std::string error;
    if (!rule || !MakeSampleImage(id, rule->maxSize, image, error)) {
        state.SkipWithError(("no image for " + std::string(id) + ": " + error).c_str());
        return;
    }
    char path[] = "/tmp/discflash-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("cannot write the image to /tmp");
        return;
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    ::close(fd);
    FILE* devNull = traced ? std::fopen("/dev/null", "w") : nullptr;

    // What one download frees stays with the process for the next: otherwise the allocator hands
    // large freed blocks back to the kernel, and every download would be timed page-faulting
    // fresh memory in again, which a process does once (first_ms_per_MiB shows that).
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // One download: its process CPU time in ms, or a negative value when it did not succeed.
    auto download = [&] {
        EmulatedRun run(id, path, devNull);
        CDISCFLASHDlg dialog;
        dialog.m_strFirmwarePath = path;
        if (!dialog.OnInitDialog()) return -1.0;
        double before = ProcessCpuMs();
        dialog.OnOK();
        double took = ProcessCpuMs() - before;
        return dialog.LastOutcome() == Outcome::Succeeded ? took : -1.0;
    };
    // The first download of a process pays for its fresh memory and first calls as well.
    const double first = download();
    double cpuMs = 0;
    int downloads = 0;
    for (auto _ : state) {
        double took = first < 0 ? -1.0 : download();
        if (took < 0) {
            state.SkipWithError("the download did not succeed");
            break;
        }
        cpuMs += took;
        ++downloads;
    }
    if (devNull) std::fclose(devNull);
    std::remove(path);
    const double mib = static_cast<double>(image.size()) / (1024.0 * 1024.0);
    if (downloads > 0) {
        state.counters["cpu_ms_per_MiB"] = cpuMs / downloads / mib;
        state.counters["first_ms_per_MiB"] = first / mib;
    }
    state.counters["image_bytes"] = static_cast<double>(image.size());
    state.SetLabel(std::string(id) + (traced ? ", trace on" : ", trace off"));
}
BENCHMARK(BM_Download)
    ->Apply([](benchmark::internal::Benchmark* b) {
        for (int64_t family = 0; family < static_cast<int64_t>(std::size(kFamilies)); ++family)
            for (int64_t traced : {0, 1}) b->Args({family, traced});
    })
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
