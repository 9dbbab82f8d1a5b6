#include "system/trace.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "download/frame.h"
#include "support/scratch_dir.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "system/sha256.h"

TEST(Sha256, KnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(nullptr, 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // 56 bytes: the padding spills into a second block.
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(two.data()), two.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Many blocks, the size of a firmware image.
    const std::string million(1000000, 'a');
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(million.data()), million.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Trace, CommandFields) {
    TestEnv env;
    TraceCapture capture;
    ASSERT_NE(capture.file, nullptr);
    {
        Trace& trace = capture.trace;
        uint8_t cdb[6] = {0x12, 0, 0, 0, 0x24, 0};
        CommandOutcome noDisc;
        noDisc.sent = true;
        noDisc.status = 2;
        noDisc.senseKey = 2;
        noDisc.asc = 0x3A;
        trace.Cmd({.cdb = cdb, .cdbLength = 6, .direction = XFER_IN, .length = 36}, noDisc, 0);

        std::vector<uint8_t> big(65, 0xAB);
        uint8_t wb[10] = {0x3B, 5};
        CommandOutcome good;
        good.sent = true;
        CommandRequest w{
            .cdb = wb, .cdbLength = 10, .direction = XFER_OUT, .data = big.data(), .length = 65};
        trace.Cmd(w, good, 1);

        uint8_t small[3] = {1, 2, 0xFF};
        w.length = 3;
        w.data = small;
        w.wait = false;
        trace.Cmd(w, good, 1);
    }
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"ev\":\"cmd\",\"cdb\":\"120000002400\",\"dir\":\"in\",\"len\":36,"
                            "\"wait\":true,\"result\":0,\"status\":2,\"host\":0,"
                            "\"sense\":\"02/3A/00\""),
              std::string::npos)
        << lines[0];
    EXPECT_NE(
        lines[1].find("\"out\":\"sha256:" + Sha256Hex(std::vector<uint8_t>(65, 0xAB).data(), 65)),
        std::string::npos);
    EXPECT_NE(lines[2].find("\"wait\":false,\"out\":\"0102ff\""), std::string::npos) << lines[2];
}

TEST(Trace, UiAndSleepEventsInOrder) {
    TestEnv env;
    TraceCapture capture;
    ASSERT_NE(capture.file, nullptr);
    {
        Trace& trace = capture.trace;
        TracingUi ui(env.ui, trace);
        TracingClock clock(env.clock, trace);
        env.ui.answers.push_back(IDYES);
        ui.ListClear();
        ui.ListAdd("drive \"A\"");
        ui.ListSelect(0);
        ui.SetStage("Write Buffer ..");
        ui.ProgressRange(0, 8);
        ui.ProgressStep();
        clock.SleepMs(1000);
        EXPECT_EQ(ui.MessageBox("line1\nline2", "HLV DOWNLOAD", MB_YESNO | MB_ICONEXCLAMATION, ""),
                  IDYES);
    }
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[1].find("\"ev\":\"list\",\"op\":\"add\",\"text\":\"drive \\\"A\\\"\","
                            "\"hex\":\"647269766520224122\",\"index\":0"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[4].find("\"op\":\"range\",\"low\":0,\"high\":8"), std::string::npos);
    EXPECT_NE(lines[6].find("{\"t_ms\":0,\"ev\":\"sleep\",\"ms\":1000}"), std::string::npos)
        << lines[6];
    EXPECT_NE(lines[7].find("\"t_ms\":1000,\"ev\":\"msg\",\"caption\":\"HLV DOWNLOAD\","
                            "\"icon\":\"exclamation\",\"buttons\":\"yesno\","
                            "\"text\":\"line1\\nline2\",\"answer\":\"yes\""),
              std::string::npos)
        << lines[7];
    // The wrapped UI still got every call.
    EXPECT_EQ(env.ui.list.size(), 1u);
    EXPECT_EQ(env.ui.stage, "Write Buffer ..");
}

// Texts are written as the characters their valid UTF-8 encodes; a byte that is not part of valid
// UTF-8 keeps the \u00XX form, and control characters are escaped as JSON requires.
TEST(Trace, TextsAreCharactersWhereValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"KR-4740 ", "\"KR-4740 \""},
        {"自動挿入がONです", "\"自動挿入がONです\""},
        {"\xc3\xa9\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         "\"\xc3\xa9\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\""},
        {"\xff\x80\x7f\xc3", "\"\\u00ff\\u0080\\u007f\\u00c3\""},  // the last one cut short
        {"\xc1\xbf\xe0\x80\xaf\xf0\x8f\xbf\xbf",
         "\"\\u00c1\\u00bf\\u00e0\\u0080\\u00af\\u00f0\\u008f\\u00bf\\u00bf\""},  // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},                            // a surrogate
        {"\xf4\x90\x80\x80\xf5\x80\x80\x80",
         "\"\\u00f4\\u0090\\u0080\\u0080\\u00f5\\u0080\\u0080\\u0080\""},  // past U+10FFFF
        {"\xc2\x85\xc2\xa0", "\"\\u0085\xc2\xa0\""},  // a C1 control, then a no-break space
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"\"\\\n\t\x1b", "\"\\\"\\\\\\n\\t\\u001b\""},
    };
    for (const auto& [bytes, json] : cases) EXPECT_EQ(Trace::Str(bytes), json);
}

// Steps are counted and written as one event when the bar's whole percentage changes, and before
// any other event or the trace's end: no step is lost and none is written twice.
TEST(Trace, StepsAreCountedUntilThePercentageChanges) {
    struct Case {
        int32_t low, high, step;
        int steps;
        std::vector<int> counts;  // of the step events, the last one written by what follows
        bool thenCmd;             // else the trace ends
    };
    const Case cases[] = {
        {0, 3, 1, 3, {1, 1, 1}, true},
        {0, 1000, 1, 25, {10, 10, 5}, true},
        {0, 1000, 1, 25, {10, 10, 5}, false},
        {0, 10, 4, 5, {1, 1, 1, 1, 1}, true},  // 40, 80, then past the end from the start: 20, 60
        {0, 5200, 0, 7, {7}, true},            // a step of 0 moves nothing
        {100, 100, 1, 4, {4}, true},           // an empty range
        {0, 5200, 1, 5200, std::vector<int>(100, 52), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.high) + "/" + std::to_string(c.steps));
        TestEnv env;
        TraceCapture capture;
        TracingUi ui(env.ui, capture.trace);
        ui.ProgressRange(c.low, c.high);
        ui.ProgressStepSize(c.step);
        ui.ProgressPos(c.low);
        for (int i = 0; i < c.steps; ++i) ui.ProgressStep();
        const uint8_t tur[6] = {};
        c.thenCmd ? capture.trace.Cmd({.cdb = tur, .cdbLength = 6}, {}, 0)
                  : (void)capture.trace.Finish();
        std::vector<int> counts;
        const std::string step = "\"op\":\"step\",\"count\":";
        const auto lines = capture.Lines();
        for (const std::string& line : lines)
            if (size_t at = line.find(step); at != std::string::npos)
                counts.push_back(std::stoi(line.substr(at + step.size())));
        EXPECT_EQ(counts, c.counts);
        EXPECT_NE(lines.back().find(c.thenCmd ? "\"ev\":\"cmd\"" : step), std::string::npos);
        EXPECT_EQ(env.ui.stepCalls, c.steps);  // the dialog's bar still saw every step
    }
}

// The trace never goes where it would overwrite the image or reach a drive, and is emptied only
// once that is known.
TEST(Trace, OpenRefusesTheImageDrivesAndLinksWhereAsked) {
    namespace fs = std::filesystem;
    const ScratchDir scratch;
    const fs::path& dir = scratch.path;
    const std::string image = (dir / "image.bin").string(), other = (dir / "old.jsonl").string();
    std::ofstream(image) << "IMAGE";
    fs::create_hard_link(image, dir / "hard");
    fs::create_symlink(other, dir / "link");
    const std::tuple<std::string, bool, const char*> cases[] = {
        {(dir / "hard").string(), false, "it is the firmware image"},
        {(dir / "link").string(), true, "is a symbolic link"},  // as root
        {(dir / "link").string(), false, nullptr},
        {other, true, nullptr},
        {"/dev/null", false, nullptr},
        {(dir / "none" / "t").string(), false, "cannot open the trace file"},
    };
    for (const auto& [path, noFollow, refusal] : cases) {
        std::ofstream(other) << "OLD";
        std::string error;
        const bool opened = Trace::Open(path, image, noFollow, error) != nullptr;
        EXPECT_EQ(opened, refusal == nullptr) << path;
        EXPECT_NE(error.find(refusal ? refusal : ""), std::string::npos) << error;
        EXPECT_EQ(fs::file_size(other), opened && path != "/dev/null" ? 0u : 3u) << path;
    }
    EXPECT_EQ(fs::file_size(image), 5u);

    // Drive nodes by their device numbers; other character devices are fine.
    const std::tuple<mode_t, unsigned, bool> nodes[] = {
        {S_IFBLK, 11, true},    // /dev/sr0
        {S_IFBLK, 8, true},     // /dev/sda
        {S_IFCHR, 21, true},    // /dev/sg0
        {S_IFCHR, 1, false},    // /dev/null, /dev/full
        {S_IFCHR, 136, false},  // a terminal
    };
    for (const auto& [type, major, refused] : nodes) {
        struct stat st {};
        st.st_mode = type | 0660;
        st.st_rdev = makedev(major, 0);
        EXPECT_EQ(TraceTargetRefusal(st, nullptr) != nullptr, refused) << major;
    }

    // The file dialog may offer the open trace as an image: refused as a file that cannot be read.
    TestEnv env;
    std::string error;
    std::unique_ptr<Trace> trace = Trace::Open(other, "", false, error);
    ASSERT_NE(trace, nullptr) << error;
    rt().trace = trace.get();
    trace->Event("stage", "");
    CDISCFLASHDlg dlg;
    dlg.m_strFirmwarePath = (dir / "." / "old.jsonl").string();
    EXPECT_FALSE(dlg.LoadFirmwareImage(kFrameMicrocode));
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Down load file open error"});
    rt().trace = nullptr;
}

TEST(ProgramName, BaseNameUpperCasedWithoutExtension) {
    struct Case {
        const char* argv0;
        const char* title;
        const char* id;
    };
    const Case cases[] = {
        {"/usr/bin/ld4740", "ld4740", "LD4740"},
        {"LD3410.run", "LD3410.run", "LD3410"},
        {"./a.b/LDMULTI", "LDMULTI", "LDMULTI"},
        {"x/discflash", "discflash", "DISCFLASH"},
    };
    for (const Case& c : cases) {
        TestEnv env;
        SetProgramName(c.argv0);
        EXPECT_EQ(rt().appTitle, c.title);
        EXPECT_EQ(rt().programId, c.id);
    }
}
