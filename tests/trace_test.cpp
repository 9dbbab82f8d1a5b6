#include "system/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "download/frame.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "system/errno_name.h"
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
        Trace::Command c;
        c.cdb = cdb;
        c.cdbLength = 6;
        c.dir = "in";
        c.length = 36;
        c.result = 0;
        c.status = 2;
        c.senseKey = 2;
        c.asc = 0x3A;
        trace.Cmd(c);

        std::vector<uint8_t> big(65, 0xAB);
        uint8_t wb[10] = {0x3B, 5};
        Trace::Command w;
        w.cdb = wb;
        w.cdbLength = 10;
        w.dir = "out";
        w.length = 65;
        w.out = big.data();
        w.result = 1;
        trace.Cmd(w);

        uint8_t small[3] = {1, 2, 0xFF};
        w.length = 3;
        w.out = small;
        w.wait = false;
        trace.Cmd(w);
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
        EXPECT_EQ(ui.MessageBox("line1\nline2", "HLV DOWNLOAD", MB_YESNO | MB_ICONEXCLAMATION),
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

namespace {

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A JSON string as a JSON reader decodes it, into UTF-8.
std::string Decoded(const std::string& json) {
    std::string out;
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char e = json[++i];
        if (e == 'u') {
            AppendUtf8(out, static_cast<unsigned>(std::stoi(json.substr(i + 1, 4), nullptr, 16)));
            i += 4;
        } else {
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        }
    }
    return out;
}

// The C library's own judgement of UTF-8, independent of the trace's.
bool ValidUtf8(const std::string& s) {
    iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    std::string in = s, out(4 * s.size() + 4, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1);
    iconv_close(cd);
    return ok;
}

}  // namespace

// Texts are written as the characters their valid UTF-8 encodes; a byte that is not part of valid
// UTF-8 keeps the \u00XX form, and control characters are escaped as JSON requires.
TEST(Trace, TextsAreCharactersWhereValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"KR-4740 ", "\"KR-4740 \""},
        {"自動挿入がONです", "\"自動挿入がONです\""},
        {"\xc3\xa9\xf0\x9f\x98\x80", "\"\xc3\xa9\xf0\x9f\x98\x80\""},
        {"\xff\x80\x7f", "\"\\u00ff\\u0080\\u007f\""},
        {"\xc3", "\"\\u00c3\""},                                              // cut short
        {"\xc0\xaf\xe0\x80\xaf", "\"\\u00c0\\u00af\\u00e0\\u0080\\u00af\""},  // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},                        // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},             // beyond U+10FFFF
        {"\xc2\x85\xc2\xa0", "\"\\u0085\xc2\xa0\""},  // C1 control, then a blank
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"\"\\\n\t\x1b", "\"\\\"\\\\\\n\\t\\u001b\""},
    };
    for (const auto& [bytes, json] : cases) EXPECT_EQ(Trace::Str(bytes), json);

    // Whatever the bytes, the line is valid UTF-8 with no raw control character, and valid UTF-8
    // decodes to itself.
    uint32_t seed = 1;
    for (int n = 0; n < 20000; ++n) {
        std::string bytes;
        for (int k = 0, len = 1 + n % 6; k < len; ++k) {
            seed = seed * 1103515245 + 12345;
            const unsigned r = seed >> 16;
            bytes += static_cast<char>(r % 4 ? 0x80 + r % 0x80 : r % 0x80);
        }
        const std::string json = Trace::Str(bytes);
        ASSERT_TRUE(ValidUtf8(json))
            << Trace::Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        for (unsigned char c : json) ASSERT_TRUE(c >= 0x20 && c != 0x7F);
        if (ValidUtf8(bytes)) {
            EXPECT_EQ(Decoded(json), bytes) << json;
        }
    }
}

// Steps are counted and written as one event when the bar's whole percentage changes, and before
// any other event or the trace's end: no step is lost and none is written twice.
TEST(Trace, StepsAreCountedUntilThePercentageChanges) {
    struct Case {
        int32_t low, high, step;
        int steps;
        std::vector<int> counts;  // of the step events, the last one written by what follows
    };
    const Case cases[] = {
        {0, 3, 1, 3, {1, 1, 1}},
        {0, 1000, 1, 25, {10, 10, 5}},
        {0, 10, 4, 5, {1, 1, 1, 1, 1}},  // 40, 80, then past the end from the start: 20, 60
        {0, 5200, 0, 7, {7}},            // a step of 0 moves nothing
        {100, 100, 1, 4, {4}},           // an empty range
        {0, 5200, 1, 5200, std::vector<int>(100, 52)},
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
        capture.trace.Cmd({});
        std::vector<int> counts;
        const auto lines = capture.Lines();
        for (const std::string& line : lines) {
            const std::string step = "\"op\":\"step\",\"count\":";
            if (size_t at = line.find(step); at != std::string::npos)
                counts.push_back(std::stoi(line.substr(at + step.size())));
        }
        EXPECT_EQ(counts, c.counts);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find("\"ev\":\"cmd\""), std::string::npos);
        EXPECT_NE(lines[lines.size() - 2].find("\"op\":\"step\""), std::string::npos);
        // The dialog's bar still saw every step.
        EXPECT_EQ(env.ui.stepCalls, c.steps);
    }
    TestEnv env;
    TraceCapture capture;
    TracingUi ui(env.ui, capture.trace);
    ui.ProgressRange(0, 1000);
    ui.ProgressStep();
    EXPECT_EQ(capture.trace.Finish(), "");
    ASSERT_EQ(capture.Events("progress").size(), 2u);
    EXPECT_NE(capture.Events("progress")[1].find("\"count\":1}"), std::string::npos);
}

// A trace that cannot be written says how much of it is missing, from where, and why.
TEST(Trace, LostEventsAreCountedFromTheFirstFailedWrite) {
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    {
        Trace trace(full);
        for (int i = 0; i < 3; ++i) trace.Event("stage", "");
        EXPECT_EQ(trace.Finish(),
                  "3 of 3 events were not written, from event 1 on: writing failed with " +
                      ErrnoText(ENOSPC));
    }
    std::fclose(full);

    // A pipe that fills up part of the way: whole lines before, nothing after.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    ASSERT_GT(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    FILE* pipeEnd = fdopen(fds[1], "w");
    std::string left;
    {
        Trace trace(pipeEnd);
        for (int i = 0; i < 200; ++i)
            trace.Event("stage", ",\"text\":\"" + std::to_string(i) + "\"");
        left = trace.Finish();
    }
    std::fclose(pipeEnd);
    std::string written;
    char buf[8192];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) written.append(buf, size_t(n));
    close(fds[0]);
    const auto lines = std::count(written.begin(), written.end(), '\n');
    ASSERT_GT(lines, 0);
    ASSERT_LT(lines, 200);
    EXPECT_EQ(written.back(), '\n');
    EXPECT_EQ(left, std::to_string(200 - lines) + " of 200 events were not written, from event " +
                        std::to_string(lines + 1) + " on: writing failed with " +
                        ErrnoText(EAGAIN));
}

// The trace never goes where it would overwrite the image or reach a drive, and is emptied only
// once that is known.
TEST(Trace, OpenRefusesTheImageDrivesAndLinksWhereAsked) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::path(::testing::TempDir()) / ("trace_open_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string image = (dir / "image.bin").string(), other = (dir / "old.jsonl").string();
    std::ofstream(image) << "IMAGE";
    std::ofstream(other) << "OLD";
    fs::create_hard_link(image, dir / "hard");
    fs::create_symlink(other, dir / "link");
    struct Case {
        std::string path;
        bool noFollow;
        const char* refusal;  // null: opened
    };
    const Case cases[] = {
        {image, false, "it is the firmware image"},
        {(dir / "hard").string(), false, "it is the firmware image"},
        {(dir / "link").string(), true, "is a symbolic link"},
        {(dir / "link").string(), false, nullptr},
        {other, true, nullptr},
        {"/dev/null", false, nullptr},
        {(dir / "none" / "t").string(), false, "cannot open the trace file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        std::unique_ptr<Trace> trace = Trace::Open(c.path, image, c.noFollow, error);
        EXPECT_EQ(trace == nullptr, c.refusal != nullptr);
        if (c.refusal) {
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        }
        std::ofstream(other) << "OLD";
    }
    EXPECT_EQ(fs::file_size(image), 5u);  // never emptied
    {
        std::string error;
        ASSERT_NE(Trace::Open(other, image, false, error), nullptr) << error;
        EXPECT_EQ(fs::file_size(other), 0u);  // a trace of its own is emptied
    }

    // Drive nodes by their device numbers; other character devices are fine.
    struct Node {
        mode_t type;
        unsigned major, minor;
        bool refused;
    };
    const Node nodes[] = {
        {S_IFBLK, 11, 0, true},    // /dev/sr0
        {S_IFBLK, 8, 0, true},     // /dev/sda
        {S_IFCHR, 21, 3, true},    // /dev/sg3
        {S_IFCHR, 1, 3, false},    // /dev/null
        {S_IFCHR, 1, 7, false},    // /dev/full
        {S_IFCHR, 136, 0, false},  // a terminal
    };
    for (const Node& n : nodes) {
        struct stat st {};
        st.st_mode = n.type | 0660;
        st.st_rdev = makedev(n.major, n.minor);
        EXPECT_EQ(TraceTargetRefusal(st, nullptr) != nullptr, n.refused) << n.major;
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
    EXPECT_FALSE(dlg.LoadFirmwareImage(1 << 20, false, kPlainFileMessages));
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Down load file open error"});
    rt().trace = nullptr;
    fs::remove_all(dir);
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
