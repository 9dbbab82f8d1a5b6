// The program as a user runs it: the real binary, in batch mode, over emulated drives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/image_loader_sequences.h"
#include "support/program_run.h"
#include "support/scratch_dir.h"
#include "system/sha256.h"

TEST(Batch, OwnFamilyIsListedAndSelected) {
    std::string trace = TempPath("trace.jsonl");
    ProgramRun r = RunProgram("LD4740", {"--batch", "--emulate=LD4740", "--trace=" + trace});
    EXPECT_TRUE(Has(r.out, "LD4740(  Version 1.100  )\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "* 0: HALVERONCD-RW  KR-4740 ")) << r.out;
    // DownLoad runs once: without a file nothing is done.
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    std::string t = Slurp(trace);
    EXPECT_TRUE(Has(t, "\"ev\":\"identity\",\"text\":\"LD4740(  Version 1.100  )\"")) << t;
    EXPECT_TRUE(Has(t, "\"ev\":\"list\",\"op\":\"select\",\"text\":\"\",\"index\":0")) << t;
    // The listing INQUIRY: allocation 64 on the block devices.
    EXPECT_TRUE(Has(t,
                    "\"ev\":\"cmd\",\"cdb\":\"120000004000\",\"dir\":\"in\",\"len\":64,"
                    "\"wait\":true,\"result\":1,\"status\":0,\"host\":0"))
        << t;
    std::remove(trace.c_str());
}

TEST(Batch, BothTransportsAndTheDeviceFilterListEmulatedDrives) {
    struct Case {
        std::vector<std::string> args;
        std::string listing;
    };
    const std::string a = "HALVERONCD-RW  KR-3410  1.00            ";
    const std::string b = "HALVERONCD-RW  KR-4740  1.00            ";
    const Case cases[] = {
        {{"--transport=sr"}, "  0: " + a + "\n* 1: " + b + "\n"},
        {{"--transport=sg"}, "  0: " + a + "\n* 1: " + b + "\n"},
        {{"--device=emu:sr1"}, "* 0: " + b + "\n"},
        {{"--transport=sg", "--device=emu:sg1", "--device=emu:sg0"},
         "* 0: " + b + "\n  1: " + a + "\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--batch", "--emulate=LD3410", "--emulate=LD4740"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramRun r = RunProgram("LD4740", args);
        EXPECT_TRUE(Has(r.out, c.listing)) << c.args[0] << "\n" << r.out << r.err;
        EXPECT_EQ(r.status, 3) << r.out;
    }
}

// A --device that names no node of the transport is not dropped without a word.
TEST(Batch, IgnoredDevicesAreNamedWithTheReason) {
    for (const char* transport : {"--transport=sr", "--transport=sg"}) {
        ProgramRun r = RunProgram("LD4740", {"--batch", "--emulate=LD4740", transport,
                                             "--device=emu:sr5", "--device=emu:sg0"});
        EXPECT_TRUE(Has(r.out, "* 0: HALVERONCD-RW  KR-4740")) << r.out;
        EXPECT_TRUE(Has(r.err,
                        "note: --device=emu:sr5 is ignored: no emulated drive has this "
                        "node"))
            << transport << r.err;
        EXPECT_FALSE(Has(r.err, "emu:sg0 is ignored")) << r.err;
    }
}

// A drive may report any byte in its INQUIRY text: on the terminal its texts (list, boxes, notes)
// show every byte outside printable ASCII as \xNN. Why nothing was done is said exactly.
TEST(Batch, DriveTextsAreEscapedOnTheTerminal) {
    const std::string identity = "EVIL\\x1B[2J\\x0Aforged\\x5C\\xC3\\xA9      ";
    const std::string drive =
        "--emulate=LD4740,identity=EVIL\\x1B[2J\\x0Aforged\\x5C\\xC3\\xA9,revision=\\xFF\\xFE1.";
    const std::string image = TempPath("escape.bin");
    std::ofstream(image) << "not an image";
    struct Case {
        const char* program;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"LD4740", {drive}, 2, {"NotFound", "emu:sr0: \"" + identity + "\" is of no family"}},
        {"LD4740", {"--emulate=LD4740"}, 3, {"nothing was done: no firmware file was given\n"}},
        {"HLVDOWNLOAD",
         {drive, image},
         3,
         {"nothing was done: no listed drive belongs to a known family\n"}},
        {"HLVDOWNLOAD",
         {drive},
         3,
         {"* 0: " + identity + "\\xFF\\xFE1.  ", "The drive \"" + identity + "\" belongs",
          "nothing was done: the drive belongs to no known family and was left alone\n"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--batch"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramRun r = RunProgram(c.program, args);
        SCOPED_TRACE(std::string(c.program) + " " + c.args.back() + "\n" + r.out + r.err);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& said : c.said) EXPECT_TRUE(Has(r.out + r.err, said)) << said;
        for (char ch : r.out + r.err) ASSERT_TRUE(ch == '\n' || (ch >= 0x20 && ch != 0x7F));
    }
    std::remove(image.c_str());
}

// The trace never overwrites the image nor goes to a drive; one that cannot be written is said to
// be incomplete, and the status stays the download's.
TEST(Batch, TraceTargets) {
    const std::string image = TempPath("target.bin"), link = TempPath("target.link");
    std::ofstream(image) << "not an image";
    std::remove(link.c_str());
    ASSERT_EQ(::link(image.c_str(), link.c_str()), 0);
    struct Case {
        std::string trace;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {image, 64, "it is the firmware image"},
        {link, 64, "it is the firmware image"},
        {"/dev/full", 1,
         "the trace '/dev/full' is incomplete: ([0-9]+) of \\1 events were not written, from "
         "event 1 on: writing failed with ENOSPC \\(No space left on device\\)\n"},
        {"/dev/null", 1, ""},
    };
    for (const Case& c : cases) {
        ProgramRun r =
            RunProgram("LD4740", {"--batch", "--emulate=LD4740", "--trace=" + c.trace, image});
        EXPECT_EQ(r.status, c.status) << c.trace << r.err;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err))) << r.err;
        EXPECT_EQ(Has(r.err, "trace"), *c.err != 0) << r.err;
    }
    EXPECT_EQ(Slurp(image), "not an image");
    std::remove(link.c_str());
    std::remove(image.c_str());
}

// A stop signal while the start-up scan waits for a hung drive ends the program at once with
// 128 + signal; it is neither held until the scan gives up nor lost.
TEST(Batch, StopSignalDuringTheScanEndsAtOnce) {
    for (const char* transport : {"--transport=sr", "--transport=sg"}) {
        for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(transport) + " " + std::to_string(signo));
            int out[2], err[2];
            ASSERT_EQ(pipe(out), 0);
            ASSERT_EQ(pipe(err), 0);
            const std::string program = std::string(DISCFLASH_BIN_DIR) + "/LD4740";
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                dup2(out[1], STDOUT_FILENO);
                dup2(err[1], STDERR_FILENO);
                // The listing INQUIRY hangs for 5 s (sr) or 20 s (sg) of real time.
                execl(program.c_str(), "LD4740", "--batch", "--real-time", transport,
                      "--emulate=LD4740,hang=12", static_cast<char*>(nullptr));
                _exit(127);
            }
            close(out[1]);
            close(err[1]);
            // The identity line comes just before the listing.
            std::string seen;
            char c;
            while (seen.find("Version 1.100") == std::string::npos && read(out[0], &c, 1) == 1)
                seen += c;
            const auto start = std::chrono::steady_clock::now();
            kill(pid, signo);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
            std::string errors;
            while (read(err[0], &c, 1) == 1) errors += c;
            EXPECT_TRUE(Has(errors, "stopped by signal " + std::to_string(signo) + "\n")) << errors;
            close(out[0]);
            close(err[0]);
        }
    }
}

TEST(Batch, EveryFamilyFindsItsOwnDrive) {
    const char* ids[] = {"LD3410", "LD3411", "LD3520", "LD3521", "LD4630", "LD4631",
                         "LD4740", "LD4741", "LD4742", "LD5850", "LD5860", "LD5871",
                         "LD5861", "LD5862", "LD5851", "LD5852", "LDMULTI"};
    for (const char* id : ids) {
        ProgramRun r = RunProgram(id, {"--batch", std::string("--emulate=") + id});
        EXPECT_TRUE(Has(r.out, "* 0: HALVERON")) << id << "\n" << r.out;
        EXPECT_EQ(r.status, 3) << id << r.err;
        EXPECT_TRUE(Has(r.err, "nothing was done")) << id << r.err;
    }
}

TEST(Batch, RefusalsExitTwo) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {"LDMULTI", {"--batch", "--emulate=LD4740"}, "HLV DRIVE [MULT] NotFound"},
        {"discflash", {"--batch", "--emulate=LD4740"}, "This Program No run"},
    };
    for (const Case& c : cases) {
        std::string trace = TempPath("refusal.jsonl");
        std::vector<std::string> args = c.args;
        args.push_back("--trace=" + trace);
        ProgramRun r = RunProgram(c.name, args);
        EXPECT_EQ(r.status, 2) << c.name << r.out << r.err;
        EXPECT_TRUE(Has(r.out, c.message)) << r.out;
        EXPECT_TRUE(Has(Slurp(trace), std::string("\"text\":\"") + c.message + "\"")) << c.name;
        std::remove(trace.c_str());
    }
}

// The dual mode runs only over the generic transport. There media polling is switched off (in
// the trace only) and a restart requested on Yes; on No the program goes on to DownLoad.
TEST(Batch, DualModeSwitchesMediaPollingOffOnlyWhenTold) {
    struct Case {
        std::vector<std::string> args;
        int status;
        bool refused;  // the pass-through transport's box
        int questions;
        int hostEvents;
    };
    const Case cases[] = {
        {{"--transport=sr", "--emulate=LD3520,poll=1", "--yes"}, 2, true, 0, 0},
        {{"--transport=sg", "--emulate=LD3520,poll=1", "--yes"}, 2, false, 1, 3},
        {{"--transport=sg", "--emulate=LD3520,poll=1"}, 3, false, 1, 0},
        {{"--transport=sg", "--emulate=LD3520"}, 3, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::string trace = TempPath("dual.jsonl");
        std::vector<std::string> args = {"--batch", "--trace=" + trace};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramRun r = RunProgram("DUALDOWNLOAD", args);
        std::string t = Slurp(trace);
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + "\n" + r.out + t);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(Has(r.out,
                      "[Windows9x(Me)のみ動作可能です] (none)\n"
                      "  Windows9x(Me)のみ動作可能です。\n  処理を中止いたします\n"),
                  c.refused);
        EXPECT_EQ(Has(t, "\"detail\":\"runs with --transport=sg\""), c.refused);  // the cause
        EXPECT_EQ(Count(r.out, "自動挿入をOFFにしますか?"), c.questions);
        // Declined: told not to download, then the drive is listed as usual.
        EXPECT_EQ(Has(r.out, "自動挿入がONのまま"), c.status == 3 && c.questions == 1);
        EXPECT_EQ(Has(r.out, "* 0: HALVERONCD-RW  KR-3520 "), c.status == 3);
        EXPECT_EQ(Count(t, "\"ev\":\"host\""), c.hostEvents);
        if (c.hostEvents) {
            EXPECT_TRUE(Has(t, "\"op\":\"poll-off\",\"device\":\"emu:sr0\",\"ms\":0"));
            EXPECT_TRUE(
                Has(t,
                    "\"op\":\"udev-rule\",\"path\":\"/etc/udev/rules.d/"
                    "60-discflash-no-media-poll.rules\",\"rule\":\"SUBSYSTEM==\\\"block\\\""));
            EXPECT_TRUE(Has(t, "\"op\":\"reboot\",\"interactive\":false}"));
            EXPECT_FALSE(Has(t, "UDISKS_IGNORE"));  // the drive stays visible on the desktop
        }
        std::remove(trace.c_str());
    }
}

// --restore-polling under any name, on either transport: nothing of the start-up, no question;
// on emulated drives the rule counts as present and every affected drive is set back.
TEST(Batch, RestorePollingUndoesTheHostChangesWithoutStartUp) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* out;
        std::vector<std::string> polled;  // poll-on events' devices
    };
    const Case cases[] = {
        {"DUALDOWNLOAD", {"--transport=sg", "--emulate=LD3520"}, "for: emu:sr0\n", {"emu:sr0"}},
        {"discflash",
         {"--emulate=LD4740", "--emulate=LD5871,poll=1", "--emulate=LD3520"},
         "for: emu:sr1 emu:sr2\n",
         {"emu:sr1", "emu:sr2"}},
        {"LD4740", {"--emulate=LD4740"}, "for: no listed drive\n", {}},
    };
    for (const Case& c : cases) {
        std::string trace = TempPath("restore.jsonl");
        std::vector<std::string> args = {"--restore-polling", "--trace=" + trace};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramRun r = RunProgram(c.name, args);
        std::string t = Slurp(trace);
        SCOPED_TRACE(std::string(c.name) + "\n" + r.out + r.err + t);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(Has(r.out, c.out));
        EXPECT_FALSE(Has(t, "\"ev\":\"msg\""));
        EXPECT_EQ(Count(t,
                        "\"op\":\"udev-rule-remove\",\"path\":\"/etc/udev/rules.d/"
                        "60-discflash-no-media-poll.rules\"}"),
                  1);
        EXPECT_EQ(Count(t, "\"op\":\"poll-on\""), static_cast<int>(c.polled.size()));
        for (const std::string& device : c.polled)
            EXPECT_TRUE(Has(t, "\"op\":\"poll-on\",\"device\":\"" + device + "\",\"ms\":-1}"));
        std::remove(trace.c_str());
    }
}

TEST(Batch, CommandLineHabits) {
    ProgramRun help = RunProgram("LD3410", {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "Usage: LD3410 ")) << help.out;
    ProgramRun version = RunProgram("LD3410", {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Has(version.out, "1.100"));
    ProgramRun bad = RunProgram("LD3410", {"--batch", "--emulate=NOSUCH"});
    EXPECT_EQ(bad.status, 64);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_TRUE(Has(bad.err, "--emulate=NOSUCH")) << bad.err;
}

// Whole downloads by the real binary: a sample image from discflash-mkimage, an emulated drive
// of the family, both transports.
TEST(Batch, SampleImagesDownloadOnBothTransports) {
    struct Case {
        const char* id;
        const char* keys;
        int status;
        const char* last;  // the last box's text
        const char* note;  // on standard error; nothing is noted when empty
    } cases[] = {
        {"LD3521", "", 0, "Down Load complete", ""},
        {"LD4740", "", 0, "Down Load complete", ""},
        {"LD4631", "", 0, "Down Load complete", ""},
        {"LD4741", "", 0, "Down Load complete", ""},
        {"LD4742", "", 0, "Down Load complete", ""},
        {"LDMULTI", "", 0, "Down Load complete", ""},
        // The loader answers wrongly: the program ends from inside the download.
        {"LD4740", ",fail=12@3:02/04/01", 1, "Loader Inquiry CMD Error\n  DownLoadEnd", ""},
        // A store that never ends is given up: the program does not wait for it.
        {"LDMULTI", ",hang=F5", 1, "Down Load fault\n  (SYNCHRONZE MICROCODE Fullsh..)",
         "had not finished command F5"},
        // Unplugged, hung, held by another program: the cause beside the boxes.
        {"LD4740", ",vanish=3B@2", 1, "Down Load fault(NG-100)", "the drive is gone"},
        {"LD4740", ",hang=3B@2", 1, "Down Load fault\n  (WriteBuffer)", "give it a few minutes"},
        // A held drive is said before anything is sent.
        {"LD4740", ",busy=2", 1,
         "Nothing was sent to the drive. Close that program or unmount the "
         "disc (`fuser -v emu:s",
         "fuser -v emu:s"},
    };
    for (const Case& c : cases) {
        std::string image = TempPath(std::string(c.id) + ".bin");
        std::string mk = std::string(DISCFLASH_BIN_DIR) + "/discflash-mkimage " + c.id + " " +
                         image + " --size 65536";
        ASSERT_EQ(std::system(mk.c_str()), 0) << mk;
        for (const char* transport : {"--transport=sr", "--transport=sg"}) {
            SCOPED_TRACE(std::string(c.id) + c.keys + " " + transport);
            ProgramRun r = RunProgram(
                c.id, {"--batch", transport, std::string("--emulate=") + c.id + c.keys, image});
            EXPECT_EQ(r.status, c.status) << r.out << r.err;
            EXPECT_TRUE(Has(r.out, std::string("  ") + c.last)) << r.out;
            EXPECT_EQ(Has(r.err, "note: "), *c.note != 0) << r.err;
            EXPECT_TRUE(Has(r.err, c.note)) << r.err;
        }
        std::remove(image.c_str());
    }
}

// The ROM-image families with images from discflash-mkimage: the download on either transport,
// an injected fault, and --check under the generic name and under a family's.
TEST(Batch, RomImagesDownloadAndCheck) {
    const std::vector<std::string> cases[] = {
        {"LD3410", "33792", "sr", "", "0", "(none)\n  Down"},
        {"LD3411", "270001", "sg", "", "0", "(none)\n  Down"},
        {"LD3520", "1048576", "sr", "", "0", "(none)\n  Down"},
        {"LD3411", "270001", "sg", ",tag=0102", "1", "(stop)\n  Inv"}};
    const std::string image = TempPath("rom.bin");
    for (const std::vector<std::string>& c : cases) {
        ASSERT_EQ(RunProgram("discflash-mkimage", {c[0], image, "--size", c[1]}).status, 0);
        ProgramRun r =
            RunProgram(c[0], {"--batch", "--transport=" + c[2], "--emulate=" + c[0] + c[3], image});
        EXPECT_EQ(r.status, std::stoi(c[4])) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "[HLV DOWNLOAD] " + c[5])) << r.out;
    }
    // The last image was made for LD3411: of the ROM families only that one accepts it.
    ProgramRun all = RunProgram("discflash", {"--check", image});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_TRUE(Has(all.out,
                    "LD3410   refused: \"Invalid format\"\nLD3411   accepted: 270001 bytes in "
                    "8 pieces, identity \"HALVERONCD-RW  KR-3411 \"\n"))
        << all.out;
    EXPECT_EQ(Count(all.out, "\n"), 17);
    ProgramRun one = RunProgram("LD3520", {"--check", image});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, "LD3520   refused: \"Invalid format\"\n");
    EXPECT_EQ(RunProgram("discflash", {"--check"}).status, 64);
    std::remove(image.c_str());
}

template <uint8_t kind>
std::vector<std::string> PowerOff(const expect::Transfer& t, bool inLoader) {
    return expect::PowerOffDownload(kind, t, inLoader);
}

// A download as a user runs it: an image from discflash-mkimage, the program under the family's
// name over an emulated drive of the family, on both transports. The trace holds exactly the
// procedure's commands after the scan's one INQUIRY.
TEST(Batch, FamiliesDownloadSampleImages) {
    struct Case {
        const char* id;
        const expect::Transfer& transfer;
        std::vector<std::string> (*sequence)(const expect::Transfer&, bool);
    };
    const Case cases[] = {
        {"LD5871", expect::kCdRom32768, expect::CdRomDownload},
        {"LD5871", expect::kCdRom262144, expect::CdRomDownload},
        {"LD4630", expect::kChecked[0], expect::CheckedDownload},
        {"LD4630", expect::kChecked[2], expect::CheckedDownload},
        {"LD4630", expect::kChecked[3], expect::CheckedDownload},
        {"LD5850", expect::kChecked[0], expect::CheckedDownload},
        {"LD5850", expect::kChecked[2], expect::CheckedDownload},
        {"LD5850", expect::kChecked[3], expect::CheckedDownload},
        {"LD5860", expect::kChecked[2], PowerOff<33>},
        {"LD5861", expect::kChecked[2], PowerOff<35>},
        {"LD5851", expect::kChecked[2], PowerOff<36>},
        {"LD5862", expect::kChecked[2], PowerOff<37>},
        {"LD5852", expect::kChecked[1], PowerOff<38>},
    };
    const std::string image = TempPath("sample.bin"), trace = TempPath("download.jsonl");
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.transfer.size);
        ASSERT_EQ(RunProgram("discflash-mkimage", {c.id, image, "--size", size}).status, 0);
        for (const char* transport : {"sr", "sg"}) {
            SCOPED_TRACE(std::string(c.id) + " " + size + " " + transport);
            ProgramRun r = RunProgram(
                c.id, {"--batch", std::string("--emulate=") + c.id,
                       std::string("--transport=") + transport, "--trace=" + trace, image});
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            std::vector<std::string> commands;
            std::istringstream lines(Slurp(trace));
            for (std::string line, command; std::getline(lines, line);)
                if (TraceCommandLine(line, command)) commands.push_back(command);
            ASSERT_FALSE(commands.empty());
            commands.erase(commands.begin());  // the scan's
            EXPECT_EQ(commands, c.sequence(c.transfer, false));
        }
    }
    std::remove(image.c_str());
    std::remove(trace.c_str());
}

// --check of a sparse 10 GB file: every family refuses it unread, with its own length; of a
// missing file: the reason once on standard error.
TEST(Batch, CheckRefusesHugeAndUnreadableFilesUnread) {
    const std::string big = TempPath("big.bin"), missing = TempPath("missing.bin");
    std::ofstream{big};
    ASSERT_EQ(::truncate(big.c_str(), 10000000000), 0);
    ProgramRun r = RunProgram("discflash", {"--check", big});
    std::remove(big.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Count(r.out, "(10000000000 bytes: "), 17) << r.out;
    r = RunProgram("discflash", {"--check", missing});
    EXPECT_EQ(r.err,
              "note: cannot read the image " + missing + ": there is no such file (ENOENT).\n");
}

namespace {

// A history of the test's own for the programs it starts, whatever the process has.
struct OwnHistory : ScratchDir {
    std::string before = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    OwnHistory() { ::setenv("XDG_STATE_HOME", path.c_str(), 1); }
    ~OwnHistory() { ::setenv("XDG_STATE_HOME", before.c_str(), 1); }
    std::string File() const { return path / "discflash" / "history.jsonl"; }
};

}  // namespace

// The question before a drive of no family, as a script meets it: No, nothing sent, status 3.
TEST(Batch, ADriveOfNoFamilyIsLeftAloneWithoutYes) {
    OwnHistory history;
    std::string trace = TempPath("question.jsonl");
    ProgramRun r = RunProgram(
        "HLVDOWNLOAD", {"--batch", "--emulate=LD4740,identity=STRANGER", "--trace=" + trace});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out,
                    "belongs to no known drive family.\n  DownLoad would program it as a drive of "
                    "the LD5852 family.\n  Program it anyway?\n  -> No\n"))
        << r.out;
    EXPECT_TRUE(Has(r.err, "nothing was done: the drive belongs to no known family")) << r.err;
    std::string t = Slurp(trace);
    EXPECT_TRUE(Has(t, "\"ev\":\"msg\"")) << t;
    EXPECT_EQ(t.find("\"ev\":\"cmd\"", t.find("\"ev\":\"msg\"")), std::string::npos) << t;
    EXPECT_FALSE(std::filesystem::exists(history.File()));
    std::remove(trace.c_str());
}

// Downloads are listed in the order they ran, under any program name, with what the drive said
// at the end and the image's digest; lines that are no record are skipped and counted.
TEST(Batch, HistoryListsEveryDownloadInOrder) {
    OwnHistory history;
    std::string image = TempPath("history.bin");
    ASSERT_EQ(RunProgram("discflash-mkimage", {"LD4740", image}).status, 0);
    EXPECT_EQ(RunProgram("LD4740", {"--batch", "--emulate=LD4740", image}).status, 0);
    EXPECT_EQ(
        RunProgram("LD4740", {"--batch", "--emulate=LD4740,fail=3B@2:04/44/00", image}).status, 1);
    std::ofstream(history.File(), std::ios::app) << "{\"time\":\n";

    ProgramRun r = RunProgram("discflash", {"--history", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.err, "1 line of " + history.File())) << r.err;
    const std::string bytes = Slurp(image);
    const std::string ran =
        "\"node\":\"emu:sr0\",\"identity_before\":\"HALVERONCD-RW  KR-4740  \",\"revision_before\":"
        "\"1.00\",\"identity_after\":";
    const std::string file =
        ",\"image\":\"" + image + "\",\"image_size\":65536,\"image_sha256\":\"" +
        Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) + "\",\"outcome\":";
    EXPECT_EQ(r.out.rfind("{\"downloads\":[\n{\"time\":\"", 0), 0u) << r.out;
    const size_t complete =
        r.out.find(ran + "\"HALVERONCD-RW  KR-4740P \",\"revision_after\":\"0.10\"" + file +
                   "\"complete\",\"message\":\"Down Load complete\",\"emulated\":true}");
    EXPECT_NE(complete, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ran + "null,\"revision_after\":null" + file + "\"fault\"", complete),
              std::string::npos)
        << r.out;
    EXPECT_EQ(RunProgram("LD3410", {"--history"}).status, 0);
    std::remove(image.c_str());
}
