#include "app/cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool Parse(std::vector<std::string> args, Options& o, std::string& error) {
    std::vector<char*> argv;
    static std::string prog = "LD4740";
    argv.push_back(prog.data());
    for (auto& a : args) argv.push_back(a.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

TEST(Options, AcceptedForms) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--batch", "--yes", "--transport=sg", "--device=/dev/sg1",
                       "--device=/dev/cdrom", "--trace=t.jsonl", "fw.bin"},
                      o, error))
        << error;
    EXPECT_TRUE(o.batch);
    EXPECT_TRUE(o.yes);
    EXPECT_EQ(o.transport, TransportChoice::Sg);
    EXPECT_EQ(o.devices, (std::vector<std::string>{"/dev/sg1", "/dev/cdrom"}));
    EXPECT_EQ(o.tracePath, "t.jsonl");
    EXPECT_EQ(o.firmwarePath, "fw.bin");
}

TEST(Options, ShortHelp) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"-h"}, o, error)) << error;
    EXPECT_TRUE(o.help);
}

TEST(Options, DoubleDashMakesTheRestPlain) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--", "--odd-name.bin"}, o, error)) << error;
    EXPECT_EQ(o.firmwarePath, "--odd-name.bin");
}

TEST(Options, Refused) {
    struct Case {
        std::vector<std::string> args;
        const char* why;
    };
    const Case cases[] = {
        {{"--transport=usb"}, "sr or sg"},
        {{"--device="}, "device node"},
        {{"--trace="}, "file name"},
        {{"--frobnicate"}, "unknown option"},
        {{"--batch=1"}, "unknown option '--batch=1'"},
        {{"--transport"}, "unknown option '--transport'"},
        {{"--trace", "t.jsonl"}, "unknown option '--trace'"},
        {{"--trace=a", "--trace=b"}, "--trace may be given only once"},
        {{"--transport=sg", "--transport=sg"}, "--transport may be given only once"},
        {{"a.bin", "b.bin"}, "only one firmware file"},
        {{"--real-time"}, "emulated"},
        {{"--check"}, "--check takes an image file"},
        {{"--check", "--batch", "a.bin"}, "no --batch"},
        {{"--check", "--trace=t", "a.bin"}, "only when it checks for one drive"},
        {{"--check", "--emulate=LD3410", "--emulate=LD3411", "a.bin"}, "for one drive"},
        {{"--check", "--device=/dev/sg1", "--device=/dev/sg2", "a.bin"}, "for one drive"},
        {{"--list", "a.bin"}, "--list only lists"},
        {{"--list", "--all"}, "--list only lists"},
        {{"--history", "--emulate=LD3410"}, "--history only reads the history"},
        {{"--history", "a.bin"}, "--history only reads the history"},
        {{"--json"}, "--json goes with --history or --list"},
        {{"--emulate=LD3410,disc=2"}, "--emulate=LD3410,disc=2"},
        {{"--emulate=LD3410", "--emulate=LD3410", "--emulate=LD3410", "--emulate=LD3410",
          "--emulate=LD3410", "--emulate=LD3410", "--emulate=LD3410", "--emulate=LD3410"},
         "at most 7"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(c.args, o, error)) << c.args[0];
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

TEST(Options, HelpDocumentsEveryOptionAndExitCode) {
    std::string help = HelpText("LD4740");
    for (const char* word :
         {"--batch", "--yes", "--transport", "--device", "--emulate", "--real-time", "--trace",
          "--help", "--version", "Exit status", "  0 ", "  1 ", "  2 ", "  3 ", "  64 "}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(help.rfind("Usage: LD4740 ", 0), 0u);
}

TEST(Options, Wrapped) {
    struct Case {
        const char* text;
        size_t indent, width;
        const char* want;
    };
    const Case cases[] = {
        {"one two three", 2, 10, "  one two\n  three\n"},
        {"one two three", 0, 13, "one two three\n"},
        {"one  two", 1, 80, " one two\n"},
        {"averyverylongword x", 4, 8, "    averyverylongword\n    x\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Wrapped(c.text, c.indent, c.width), c.want) << c.text;
}
