// The download history: records as written and read back, the file's place and rights, and
// appends from processes at once.
#include "system/history.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/scratch_dir.h"
#include "system/clocks.h"

namespace {

namespace fs = std::filesystem;

DownloadRecord Sample(const std::string& message = "Down Load complete") {
    DownloadRecord r;
    r.node = "/dev/sr0";
    r.outcome = kHistoryComplete;
    r.message = message;
    return r;
}

std::vector<DownloadRecord> ReadAll(const std::string& path, size_t& skipped) {
    VirtualClock clock;
    std::vector<DownloadRecord> records;
    std::string why;
    EXPECT_TRUE(ReadHistory(path, clock, records, skipped, why)) << why;
    return records;
}

TEST(History, EveryByteComesBackAndEachRecordIsOneLine) {
    DownloadRecord r = Sample("\"quoted\" back\\slash\nline \x1B[2J\x7F\xC2\x85");
    r.identityBefore = "\xFF\xFE\x80";
    r.identityAfter = std::string("NUL\0in", 6);
    r.image = "UTF-8 \xE8\x87\xAA, lone \xE8\x87, overlong \xC0\xAF, surrogate \xED\xA0\x80";
    r.imageSize = 18446744073709551615u;
    r.emulated = true;
    const std::string line = RecordJson(r);
    EXPECT_EQ(line.find_first_of("\n\x1B\x7F\x80\xFF"), std::string::npos) << line;
    EXPECT_NE(line.find("\xE8\x87\xAA, lone \\u00e8\\u0087,"), std::string::npos) << line;
    DownloadRecord back;
    ASSERT_TRUE(ParseRecord(line, back)) << line;
    EXPECT_EQ(RecordJson(back), line);
    EXPECT_EQ(back.message, r.message);
    EXPECT_EQ(back.identityBefore, r.identityBefore);
    EXPECT_EQ(back.identityAfter, r.identityAfter);
    EXPECT_EQ(back.image, r.image);
    EXPECT_EQ(back.imageSize, r.imageSize);
    EXPECT_FALSE(back.revisionAfter.has_value());
    EXPECT_TRUE(back.emulated);
}

TEST(History, LinesThatAreNoRecordAreSkipped) {
    const std::string good = RecordJson(Sample());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        return s.replace(s.find(from), from.size(), to);
    };
    const std::pair<std::string, bool> lines[] = {
        {" " + good + " ", true},
        {good.substr(0, good.size() - 1), false},
        {good + "x", false},
        {replaced(",\"message\":\"Down Load complete\"", ""), false},
        {replaced("\"complete\"", "\"finished\""), false},
        {replaced("\"emulated\":false", "\"emulated\":0"), false},
        {replaced("\"image_size\":null", "\"image_size\":-1"), false},
        {replaced("\"image_size\":null", "\"image_size\":1.5"), false},
        {replaced("\"image_size\":null", "\"image_size\":18446744073709551616"), false},
        {replaced("\"image\":null", "\"image\":[\"a\"]"), false},
        {replaced("/dev/sr0", "\\ud800"), false},
        {replaced("/dev/sr0", "\\ud83d\\ude00\\u00ff"), true},
        {replaced("\"time\":\"\"", "\"time\":\"x\",\"extra\":true"), true},
        {std::string(2 << 20, ' ') + good, false},
    };
    ScratchDir dir;
    const std::string path = dir.path / "history.jsonl";
    std::ofstream file(path);
    size_t expected = 0;
    for (const auto& [line, parses] : lines) {
        file << line << "\n\n";
        expected += parses;
    }
    file.close();
    size_t skipped = 0;
    EXPECT_EQ(ReadAll(path, skipped).size(), expected);
    EXPECT_EQ(skipped, std::size(lines) - expected);
}

TEST(History, FileUnderXdgRules) {
    struct Case {
        const char *state, *home, *file;
    } cases[] = {
        {"/s/", "/h", "/s/discflash/history.jsonl"},
        {"relative/s", "/h", "/h/.local/state/discflash/history.jsonl"},
        {"", "/h", "/h/.local/state/discflash/history.jsonl"},
        {nullptr, "relative", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HistoryFile(c.state, c.home), c.file) << (c.state ? c.state : "null");
}

TEST(History, PrivateDirectoriesNoLinksAndFailuresSaid) {
    ScratchDir dir;
    VirtualClock clock;
    const fs::path made = dir.path / "a" / "discflash" / "history.jsonl";
    DownloadRecord r = Sample();
    std::string why;
    ASSERT_TRUE(History(made, clock, false, false).Append(r, why)) << why;
    for (const fs::path& p : {dir.path / "a", made.parent_path()})
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_all) << p;
    EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(r.time, "2026-12-08T00:00:00Z");

    // Neither the file nor the program's own directory is reached through a link.
    const fs::path target = dir.path / "target";
    std::ofstream(target) << "kept\n";
    fs::create_directories(dir.path / "linked");
    fs::create_symlink(target, dir.path / "linked" / "history.jsonl");
    fs::create_directory_symlink(dir.path / "linked", dir.path / "viadir");
    std::ofstream(dir.path / "file") << "";
    for (const fs::path& p :
         {dir.path / "linked" / "history.jsonl", dir.path / "viadir" / "history.jsonl",
          dir.path / "file" / "discflash" / "history.jsonl", fs::path("relative")}) {
        why.clear();
        EXPECT_FALSE(History(p, clock, false, false).Append(r, why)) << p;
        EXPECT_FALSE(why.empty()) << p;
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept\n");
}

// Processes appending at once: every record whole, each process's in its order. Records far
// longer than stdio's buffer catch a writer that takes more than one write for one.
TEST(History, ProcessesAppendingAtOnceNeverInterleave) {
    ScratchDir dir;
    const std::string path = dir.path / "history.jsonl";
    constexpr int kProcesses = 4, kRecords = 40;
    constexpr size_t kLength = 100000;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            (void)!::read(gate[0], &c, 1);  // all start together, when the gate closes
            RealClock clock;
            History history(path, clock, true, false);
            bool ok = true;
            for (int k = 0; k < kRecords; ++k) {
                DownloadRecord r = Sample(std::string(kLength, static_cast<char>('a' + p)));
                r.node = std::to_string(p) + ":" + std::to_string(k);
                std::string why;
                ok = history.Append(r, why) && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    size_t skipped = 0;
    const std::vector<DownloadRecord> records = ReadAll(path, skipped);
    EXPECT_EQ(skipped, 0u);
    ASSERT_EQ(records.size(), size_t{kProcesses * kRecords});
    std::vector<int> next(kProcesses, 0);
    for (const DownloadRecord& r : records) {
        const int p = r.node[0] - '0';
        EXPECT_EQ(r.node, std::to_string(p) + ":" + std::to_string(next[p]++));
        EXPECT_EQ(r.message, std::string(kLength, static_cast<char>('a' + p)));
    }
}

TEST(History, TableShowsNoByteThatActsOnTheTerminal) {
    DownloadRecord r = Sample("Down Load fault\n(NG-00B)\x1B]0;x\x07");
    r.identityBefore = "HALVERON\x1B[31m\x9B";
    r.revisionBefore = "1.00";
    r.image = "/images/\x1B[2Jfw\xE8\x87\xAA.bin";
    r.imageSize = 65536;
    const std::string table = HistoryTable({Sample(), r});
    for (char c : table) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << table;
    EXPECT_NE(table.find("HALVERON\\x1B[31m\\x9B  1.00"), std::string::npos) << table;
    EXPECT_NE(table.find("\\x1B[2Jfw\xE8\x87\xAA.bin (65536 bytes)"), std::string::npos) << table;
    EXPECT_NE(table.find("Down Load fault / (NG-00B)\\x1B]0;x\\x07"), std::string::npos) << table;
}

}  // namespace
