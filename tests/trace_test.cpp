#include "system/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
        EXPECT_EQ(ui.MessageBox("line1\nline2", "HLV DOWNLOAD", MB_YESNO | MB_ICONEXCLAMATION),
                  IDYES);
    }
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(
        lines[1].find("\"ev\":\"list\",\"op\":\"add\",\"text\":\"drive \\\"A\\\"\",\"index\":0"),
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

// A JSON string's content read back as bytes, each code point one byte.
std::string Unescaped(const std::string& json) {
    std::string out;
    for (size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char e = json[++i];
        if (e == 'u') {
            out += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
            i += 4;
        } else {
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        }
    }
    return out;
}

// Drive texts are bytes: every line stays printable ASCII (so valid UTF-8 and JSON whatever the
// drive reports), and every byte comes back exactly.
TEST(Trace, TextsAreBytesWrittenAsPlainAscii) {
    const std::pair<std::string, std::string> cases[] = {
        {"KR-4740 ", "\"KR-4740 \""},
        {"\xff\x80\x7f", "\"\\u00ff\\u0080\\u007f\""},
        {"\xc3\xa9", "\"\\u00c3\\u00a9\""},  // UTF-8 is bytes too
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"\"\\\n\t\x1b", "\"\\\"\\\\\\n\\t\\u001b\""},
    };
    for (const auto& [bytes, json] : cases) EXPECT_EQ(Trace::Str(bytes), json);
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string written = Trace::Str(all);
    for (char c : written) ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << int(static_cast<uint8_t>(c));
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(Unescaped(written.substr(1, written.size() - 2)), all);
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
