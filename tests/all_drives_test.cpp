// --all through the real binary: one batch run per drive of the family, over emulated drives.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <csignal>
#include <map>

#include "support/program_run.h"

namespace {

// The summary's row of a node: "  NODE  BEFORE  AFTER  OUTCOME"; empty when it has none.
std::string SummaryRow(const std::string& out, const std::string& node) {
    size_t at = out.find("\n  " + node + "  ", out.find("summary: "));
    if (at == std::string::npos) return "";
    return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string MakeImage(const char* id) {
    const std::string image = TempPath(std::string(id) + ".bin");
    EXPECT_EQ(RunProgram("discflash-mkimage", {id, image}).status, 0);
    return image;
}

// Each drive's lines, the node taken off, in the order they came.
std::map<std::string, std::string> LinesByNode(const std::string& text) {
    std::map<std::string, std::string> by;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (size_t colon = line.find(": "); line.rfind("emu:", 0) == 0 && colon != line.npos)
            by[line.substr(0, colon)] += line.substr(colon + 2) + "\n";
    return by;
}

}  // namespace

TEST(AllDrives, EveryDriveOfTheFamilyAtOnceOnBothTransports) {
    const std::string image = MakeImage("LD3411");
    for (const char* transport : {"sr", "sg"}) {
        const std::string emu = std::string("emu:") + transport;
        ProgramRun r =
            RunProgram("LD3411", {"--batch", "--all", std::string("--transport=") + transport,
                                  "--emulate=LD3411", "--emulate=LD3411,fail=3B@2:04/44/00",
                                  "--emulate=LD3411", image});
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(Count(r.out, ":   Down Load complete\n"), 2);
        const std::string before = "HALVERONCD-RW  KR-3411  1.00  ";
        for (const char* k : {"0", "2"}) {
            const std::string row = SummaryRow(r.out, emu + k);
            // The identity the drive came back with: the one in the image (no revision asked).
            EXPECT_EQ(row.find(before + "HALVERONCD-RW  KR-3411    complete"), 11u) << row;
        }
        EXPECT_TRUE(EndsWith(SummaryRow(r.out, emu + "1"),
                             before + "-" + std::string(25, ' ') + "failed: Down Load fault"));
        EXPECT_TRUE(Has(r.out, "summary: 2 of 3 drives complete\n"));
    }
    std::remove(image.c_str());
}

// Refused before anything is started or written: under a name that takes any family, without
// an image; with no drive of the family, as start-up is.
TEST(AllDrives, RefusedOrNothingFound) {
    const std::string image = MakeImage("LD3411"), trace = TempPath("refused.jsonl");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* said;  // in the trace where the scan ran, else on standard error
    };
    const Case cases[] = {
        {"HLVDOWNLOAD", {"--emulate=LD3411", image}, 64, "--all runs under a drive family's"},
        {"DUALDOWNLOAD", {"--transport=sg", "--emulate=LD3411", image}, 64, "not under DUALD"},
        {"LD3411", {"--emulate=LD3411"}, 64, "--all takes a firmware file"},
        {"LD3411", {"--emulate=LD4740", "--emulate=LD3410", image}, 2, "HLV DRIVE [3411] NotF"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--all", "--trace=" + trace};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramRun r = RunProgram(c.name, args);
        SCOPED_TRACE(std::string(c.name) + "\n" + r.out + r.err);
        EXPECT_EQ(r.status, c.status);
        const bool traced = c.status != 64;
        EXPECT_TRUE(Has(traced ? Slurp(trace) : r.err, c.said));
        EXPECT_EQ(access(trace.c_str(), F_OK) == 0, traced);
        EXPECT_NE(access((trace + ".0").c_str(), F_OK), 0);
        EXPECT_FALSE(Has(r.out, "started as process"));
        std::remove(trace.c_str());
    }
    std::remove(image.c_str());
}

// A hung, an unplugged and a failing drive beside one that completes, and one of another family
// that is left alone; each run has its own trace and sees only its own drive.
TEST(AllDrives, OneDrivesTroubleNeverStopsTheOthers) {
    const std::string image = MakeImage("LD4740"), trace = TempPath("tower.jsonl");
    ProgramRun r =
        RunProgram("LD4740", {"--all", "--emulate=LD4740,hang=3B@2", "--emulate=LD4740,vanish=3B@2",
                              "--emulate=LD3410", "--emulate=LD4740,fail=3B@2:04/44/00",
                              "--emulate=LD4740", "--trace=" + trace, image});
    SCOPED_TRACE(r.out + r.err);
    EXPECT_EQ(r.status, 1);
    struct Row {
        std::string node, after, outcome;  // no outcome: never started
    };
    const Row rows[] = {
        {"emu:sr0", "- ", "failed: Down Load fault (WriteBuffer)"},
        {"emu:sr1", "- ", "failed: Down Load fault(NG-100)"},
        {"emu:sr2", "", ""},
        {"emu:sr3", "- ", "failed: Down Load fault (WriteBuffer)"},
        {"emu:sr4", "HALVERONCD-RW  KR-4740P 0.10  ", "complete"},
    };
    for (const auto& [node, after, end] : rows) {
        const std::string k = node.substr(6), runTrace = Slurp(trace + "." + k);
        const std::string row = SummaryRow(r.out, node);
        EXPECT_TRUE(end.empty() ? row.empty() : EndsWith(row, "  " + end)) << node;
        EXPECT_TRUE(end.empty() || Has(row, "1.00  " + after)) << node;
        EXPECT_EQ(Count(runTrace, "\"op\":\"add\""), end.empty() ? 0 : 1) << node;
        EXPECT_EQ(Has(runTrace, "\"text\":\"Down Load complete\""), node == "emu:sr4");
        std::remove((trace + "." + k).c_str());
    }
    // The parent's own trace: the scan, every drive listed once and nothing downloaded.
    const std::string scan = Slurp(trace);
    EXPECT_EQ(Count(scan, "\"op\":\"add\""), 5);
    EXPECT_FALSE(Has(scan, "\"cdb\":\"3b"));
    std::remove(trace.c_str());
    std::remove(image.c_str());
}

// Each drive's lines reach the terminal whole and in order: with the node taken off they are
// what the same batch run prints alone, on the same stream.
TEST(AllDrives, EachDrivesLinesAreItsBatchRunsLines) {
    const std::string image = MakeImage("LD4740");
    const std::vector<std::string> drives = {"--emulate=LD4740", "--emulate=LD4740,hang=3C@3",
                                             "--emulate=LD4740,loader=1"};
    std::vector<std::string> args = {"--all", "--transport=sg", image};
    args.insert(args.end(), drives.begin(), drives.end());
    ProgramRun all = RunProgram("LD4740", args);
    const auto out = LinesByNode(all.out), err = LinesByNode(all.err);
    for (const char* node : {"emu:sg0", "emu:sg1", "emu:sg2"}) {
        std::vector<std::string> alone = {"--batch", "--transport=sg",
                                          std::string("--device=") + node, image};
        alone.insert(alone.end(), drives.begin(), drives.end());
        ProgramRun one = RunProgram("LD4740", alone);
        EXPECT_EQ(out.count(node) ? out.at(node) : "", one.out) << node;
        EXPECT_EQ(err.count(node) ? err.at(node) : "", one.err) << node;
    }
    std::remove(image.c_str());
}

namespace {

// Reads what `fd` holds into `into` until `needle` is in it (or, with an empty needle, until end
// of file). False after a minute without a byte.
bool ReadUntil(int fd, std::string& into, const std::string& needle) {
    while (needle.empty() || !Has(into, needle)) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return needle.empty();
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if ((errno != EAGAIN && errno != EINTR) || poll(&p, 1, 60000) == 0) return false;
    }
    return true;
}

enum class Stop { ParentTerm, ChildKill, ParentKill };

}  // namespace

// Each run writes its trace into a FIFO that is read until the run is in its download, and then
// no further: the run is held there, without a clock, while a signal comes. A stop sent to the
// parent alone reaches the runs, which finish their downloads; a run that dies is gone while
// the other completes; a run whose parent dies still completes its download.
TEST(AllDrives, SignalsWhileDownloadsRun) {
    const std::string image = MakeImage("LD4740"), trace = TempPath("held.jsonl");
    for (Stop stop : {Stop::ParentTerm, Stop::ChildKill, Stop::ParentKill}) {
        SCOPED_TRACE(static_cast<int>(stop));
        int fifo[2];
        for (int k = 0; k < 2; ++k) {
            const std::string path = trace + "." + std::to_string(k);
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            fifo[k] = open(path.c_str(),
                           O_RDWR | O_NONBLOCK | O_CLOEXEC);  // a reader: the run never waits
            ASSERT_GE(fcntl(fifo[k], F_SETPIPE_SZ, 4096), 0);
        }
        int out[2], err[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        const std::string program = std::string(DISCFLASH_BIN_DIR) + "/LD4740";
        pid_t parent = fork();
        ASSERT_GE(parent, 0);
        if (parent == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execl(program.c_str(), "LD4740", "--all", "--emulate=LD4740", "--emulate=LD4740",
                  ("--trace=" + trace).c_str(), image.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        std::string traces[2], stdOut, stdErr;
        for (int k = 0; k < 2; ++k) ASSERT_TRUE(ReadUntil(fifo[k], traces[k], "\"cdb\":\"3b"));
        int status = 0;
        switch (stop) {
            case Stop::ParentTerm:
                kill(parent, SIGTERM);
                ASSERT_TRUE(ReadUntil(err[0], stdErr, "signal 15 received: passed to the runn"));
                break;
            case Stop::ChildKill: {
                // The second run's line comes after the first's has ended.
                const std::string started = "--all: emu:sr0 started as process ";
                ASSERT_TRUE(ReadUntil(out[0], stdOut, "--all: emu:sr1 started"));
                kill(std::stoi(stdOut.substr(stdOut.find(started) + started.size())), SIGKILL);
                break;
            }
            case Stop::ParentKill:
                kill(parent, SIGKILL);
                ASSERT_EQ(waitpid(parent, &status, 0), parent);
                break;
        }
        // From now on the traces are read to their end, which comes when their run has ended.
        for (int k = 0; k < 2; ++k) {
            const int reader =
                open((trace + "." + std::to_string(k)).c_str(), O_RDONLY | O_NONBLOCK);
            close(fifo[k]);
            EXPECT_TRUE(ReadUntil(reader, traces[k], ""));
            close(reader);
            std::remove((trace + "." + std::to_string(k)).c_str());
        }
        EXPECT_TRUE(ReadUntil(out[0], stdOut, ""));
        EXPECT_TRUE(ReadUntil(err[0], stdErr, ""));
        close(out[0]);
        close(err[0]);
        if (stop != Stop::ParentKill) {
            ASSERT_EQ(waitpid(parent, &status, 0), parent);
        }
        SCOPED_TRACE(stdOut + stdErr);
        const bool first = stop != Stop::ChildKill;
        EXPECT_EQ(Has(traces[0], "\"text\":\"Down Load complete\""), first);
        EXPECT_TRUE(Has(traces[1], "\"text\":\"Down Load complete\""));
        if (stop == Stop::ParentKill) {
            EXPECT_TRUE(WIFSIGNALED(status));
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), first ? 128 + SIGTERM : 1);
        EXPECT_TRUE(EndsWith(SummaryRow(stdOut, "emu:sr0"),
                             first ? "complete" : "gone: killed by signal 9 (Killed)"));
        EXPECT_TRUE(EndsWith(SummaryRow(stdOut, "emu:sr1"), "complete"));
        EXPECT_EQ(Count(stdErr, ": signal 15 received: stopping after the download"),
                  first ? 2 : 0);
    }
    std::remove(image.c_str());
}
