// The download history: records as written and read back, the file's place and rights, appends
// from processes at once, and what the procedures leave in a record.
#include "system/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/emulated_run.h"
#include "system/sha256.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = fs::temp_directory_path() / "discflash-history-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

DownloadRecord Sample(const std::string& message = "Down Load complete") {
    DownloadRecord r;
    r.program = "LD4740";
    r.node = "/dev/sr0";
    r.identityBefore = "HALVERONCD-RW  KR-4740 ";
    r.revisionBefore = "1.00";
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
    const std::vector<std::string> texts = {std::string("NUL\0in", 6), "\x1B[2J\x7F\xC2\x85",
                                            "\"quoted\" back\\slash\nline",
                                            "UTF-8 \xE8\x87\xAA\xE5\x8B\x95 and a lone \xE8\x87, "
                                            "\xC0\xAF overlong, \xED\xA0\x80 surrogate",
                                            "\xFF\xFE\x80"};
    for (const std::string& text : texts) {
        DownloadRecord r = Sample(text);
        r.identityBefore = text;
        r.identityAfter = text;
        r.image = "/tmp/" + text;
        r.imageSize = 18446744073709551615u;
        r.imageSha256 = std::string(64, 'a');
        r.emulated = true;
        const std::string line = RecordJson(r);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find('\x1B'), std::string::npos) << line;
        DownloadRecord back;
        ASSERT_TRUE(ParseRecord(line, back)) << line;
        EXPECT_EQ(RecordJson(back), line);
        EXPECT_EQ(back.message, text);
        EXPECT_EQ(back.imageSize, r.imageSize);
        EXPECT_FALSE(back.revisionAfter.has_value());
    }
}

TEST(History, LinesThatAreNoRecordAreSkipped) {
    const std::string good = RecordJson(Sample());
    auto without = [&](const std::string& key) {
        std::string s = good;
        const size_t at = s.find(",\"" + key + "\"");
        return s.erase(at, s.find(',', at + 1) - at);
    };
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        return s.replace(s.find(from), from.size(), to);
    };
    const std::vector<std::pair<std::string, bool>> lines = {
        {good, true},
        {"  " + good + " ", true},
        {good.substr(0, good.size() - 1), false},
        {good + "x", false},
        {"not json", false},
        {without("message"), false},
        {without("image_size"), false},
        {replaced("\"complete\"", "\"finished\""), false},
        {replaced("\"emulated\":false", "\"emulated\":0"), false},
        {replaced("\"image_size\":null", "\"image_size\":-1"), false},
        {replaced("\"image_size\":null", "\"image_size\":1.5"), false},
        {replaced("\"image_size\":null", "\"image_size\":18446744073709551616"), false},
        {replaced("\"image\":null", "\"image\":[\"a\"]"), false},
        {replaced("\"node\":\"/dev/sr0\"", "\"node\":\"\\ud800\""), false},
        {replaced("\"node\":\"/dev/sr0\"", "\"node\":\"\\ud83d\\ude00\\u00ff\""), true},
        {replaced("\"time\":\"\"", "\"time\":\"x\",\"extra\":true"), true},
        {std::string(2 << 20, ' ') + good, false},
    };
    TempDir dir;
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
    EXPECT_EQ(skipped, lines.size() - expected);
}

TEST(History, FileUnderXdgRules) {
    struct Case {
        const char *state, *home, *file;
    } cases[] = {
        {"/s", "/h", "/s/discflash/history.jsonl"},
        {"/s/", "/h", "/s/discflash/history.jsonl"},
        {"relative/s", "/h", "/h/.local/state/discflash/history.jsonl"},
        {"", "/h", "/h/.local/state/discflash/history.jsonl"},
        {nullptr, "relative", ""},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HistoryFile(c.state, c.home), c.file) << (c.state ? c.state : "null");
}

TEST(History, PrivateDirectoriesNoLinksAndFailuresSaid) {
    TempDir dir;
    VirtualClock clock;
    const fs::path made = dir.path / "a" / "b" / "discflash" / "history.jsonl";
    DownloadRecord r = Sample();
    std::string why;
    ASSERT_TRUE(History(made, clock, false, false).Append(r, why)) << why;
    for (const fs::path& p : {dir.path / "a", dir.path / "a" / "b", made.parent_path()})
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
    const fs::path refused[] = {dir.path / "linked" / "history.jsonl",
                                dir.path / "viadir" / "history.jsonl",
                                dir.path / "file" / "discflash" / "history.jsonl", "relative"};
    for (const fs::path& p : refused) {
        why.clear();
        EXPECT_FALSE(History(p, clock, false, false).Append(r, why)) << p;
        EXPECT_FALSE(why.empty()) << p;
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept\n");
}

// Processes appending at once: every record whole, each process's in its order. A record far
// longer than a pipe's or stdio's buffer would be cut by any writer that takes two writes.
TEST(History, ProcessesAppendingAtOnceNeverInterleave) {
    TempDir dir;
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

// What whole downloads leave in the record, read back from the file.
TEST(History, RecordsOfEmulatedDownloads) {
    std::string noGood;  // ten identity polls, all NOT READY
    for (int n = 3; n <= 12; ++n) noGood += ",fail=12@" + std::to_string(n) + ":02/04/01";
    struct Row {
        const char* id;
        std::string keys;
        uint32_t size;
        const char* outcome;  // null: nothing was sent, nothing recorded
        const char* message;
        std::optional<std::string> identityAfter, revisionAfter;
    } rows[] = {
        {"LD4740", "", 65536, kHistoryComplete, "Down Load complete", "HALVERONCD-RW  KR-4740P ",
         "0.10"},
        {"LD3520", noGood, 70000, kHistoryNoGood, "Down Load NoGood", std::nullopt, std::nullopt},
        {"LD3411", ",fail=3B@2:04/00/00", 70000, kHistoryFault, "Down Load fault", std::nullopt,
         std::nullopt},
        {"LD3410", "", 20, nullptr, "", std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        TempDir dir;
        const std::string path = dir.path / "history.jsonl";
        VirtualClock clock(0);
        History history(path, clock, true, false);
        EmulatedRun run;
        run.Of(row.id, row.keys).image =
            EmulatedRun::Sample(row.id, row.size < 32 ? 70000 : row.size);
        run.image.resize(row.size);
        run.history = &history;
        run.Run();
        size_t skipped = 0;
        const std::vector<DownloadRecord> records = ReadAll(path, skipped);
        ASSERT_EQ(records.size(), row.outcome ? 1u : 0u);
        if (!row.outcome) continue;
        const DownloadRecord& r = records[0];
        EXPECT_EQ(r.time, "1970-01-01T00:00:00Z");
        EXPECT_EQ(r.program, row.id);
        EXPECT_EQ(r.node, "emu:sr0");
        std::string ordinary = FindProgramEntry(row.id)->group[1].text;
        EXPECT_EQ(r.identityBefore, ordinary.append(24 - ordinary.size(), ' '));
        EXPECT_EQ(r.revisionBefore, "1.00");
        EXPECT_EQ(r.identityAfter, row.identityAfter);
        EXPECT_EQ(r.revisionAfter, row.revisionAfter);
        EXPECT_EQ(r.imageSize, row.size);
        EXPECT_EQ(r.imageSha256, Sha256Hex(run.image.data(), run.image.size()));
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.message, row.message);
        EXPECT_TRUE(r.emulated);
    }
}

TEST(History, TableShowsNoByteThatActsOnTheTerminal) {
    DownloadRecord r = Sample("Down Load fault\n(NG-00B)\x1B]0;x\x07");
    r.identityBefore = "HALVERON\x1B[31m\x9B";
    r.image = "/images/\x1B[2Jfw\xE8\x87\xAA.bin";
    r.imageSize = 65536;
    const std::string table = HistoryTable({Sample(), r});
    for (char c : table) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << table;
    EXPECT_NE(table.find("HALVERON\\x1B[31m\\x9B  1.00"), std::string::npos) << table;
    EXPECT_NE(table.find("\\x1B[2Jfw\xE8\x87\xAA.bin (65536 bytes)"), std::string::npos) << table;
    EXPECT_NE(table.find("Down Load fault / (NG-00B)\\x1B]0;x\\x07"), std::string::npos) << table;
}

}  // namespace
