#include "download/frame.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "drives/dispatch.h"
#include "drives/test_hooks.h"
#include "support/fake_backend.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Records sleeps in a shared event log, on virtual time.
class RecordingClock : public VirtualClock {
  public:
    explicit RecordingClock(std::vector<std::string>& log) : log_(log) {}
    void SleepMs(uint32_t ms) override {
        log_.push_back("sleep " + std::to_string(ms));
        VirtualClock::SleepMs(ms);
    }

  private:
    std::vector<std::string>& log_;
};

std::string Hex(uint8_t b) {
    char s[3];
    std::snprintf(s, sizeof s, "%02X", b);
    return s;
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetBackends(&backend, nullptr);
        ASSERT_EQ(OpenDrive(drive), 1);
        ASSERT_TRUE(RenewReadBackBuffer());
        dir = fs::temp_directory_path() /
              ("frame_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        FreeReadBackBuffer();
        SetImageAllocationLimit(std::numeric_limits<uint32_t>::max());
        fs::remove_all(dir);
    }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    static std::vector<uint8_t> Pattern(size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
        return v;
    }

    TestEnv env;
    FakeBackend backend;
    DriveRecord drive;
    CDISCFLASHDlg dlg;
    fs::path dir;
};

// ---- file choice -------------------------------------------------------------------------------

TEST(FrameFilters, ParsedIntoPairsWithBlanksKept) {
    struct Case {
        const char* filter;
        Pairs pairs;
    };
    const Case cases[] = {
        {kFilterA,
         {{" Firm Ware Files (*.Bin) ", " *.Bin; "},
          {" Binary Files (*.Rom) ", " *.Rom; "},
          {" All Files (*.*) ", " *.*; "}}},
        {kFilterB, {{" Binary Files (*.Bin) ", " *.bin; "}, {" All Files (*.*) ", " *.*; "}}},
        {kFilterC,
         {{" Firm Ware Files (*.Rom) ", " *.Rom; "},
          {" Binary Files (*.Bin) ", " *.bin; "},
          {" All Files (*.*) ", " *.*; "}}},
        // the list ends at "||" even when more text follows
        {"a|b||c|d||", {{"a", "b"}}},
        // the string's end ends the last part; an unpaired text is dropped
        {"a|b|c|d", {{"a", "b"}, {"c", "d"}}},
        {"a|b|c", {{"a", "b"}}},
        {"", {}},
        {"||", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseFileFilter(c.filter), c.pairs) << c.filter;
}

TEST_F(FrameTest, FileDialogGetsEachProcedureValues) {
    struct Case {
        const ProcedureFrame* frame;
        const char* firstPair;  // the selected one
        size_t pairs;
        const char* initialName;
        const char* defaultExt;
        uint32_t bufferSize;
    };
    const Case cases[] = {
        {&kFrameMicrocode, " Firm Ware Files (*.Bin) ", 3, "*.BIN", "BIN", 1048576},
        {&kFrameLoaderSwitch, " Firm Ware Files (*.Bin) ", 3, "*.BIN", "BIN", 1048576},
        {&kFrameCdRom, " Binary Files (*.Bin) ", 2, "*.BIN", "BIN", 262144},
        {&kFrameCheckedImage, " Binary Files (*.Bin) ", 2, "*.BIN", "BIN", 524288},
        {&kFrameCdRomPowerOff, " Binary Files (*.Bin) ", 2, "*.BIN", "BIN", 262144},
        {&kFrameRomImage, " Firm Ware Files (*.Rom) ", 3, "*.ROM", "ROM", 1048576},
    };
    for (const Case& c : cases) {
        const ProcedureFrame* f = c.frame;
        SCOPED_TRACE(f->procedure);
        EXPECT_EQ(f->bufferSize, c.bufferSize);
        env.ui.fileRequests.clear();
        dlg.m_strFirmwarePath.clear();
        std::string chosen = (dir / "picked.bin").string();
        env.ui.files.push_back(chosen);
        ASSERT_TRUE(dlg.ChooseFirmwareFile(f->filter, f->initialName, f->defaultExt));
        EXPECT_EQ(dlg.m_strFirmwarePath, chosen);
        ASSERT_EQ(env.ui.fileRequests.size(), 1u);
        const FileRequest& r = env.ui.fileRequests[0];
        EXPECT_EQ(r.title, "DOWN LOAD FILE OPEN");
        ASSERT_EQ(r.filters.size(), c.pairs);
        EXPECT_EQ(r.filters[0].first, c.firstPair);
        EXPECT_EQ(r.initialName, c.initialName);
        EXPECT_EQ(r.defaultExt, c.defaultExt);
    }
}

TEST_F(FrameTest, RelativeChoiceIsStoredAsFullPath) {
    env.ui.files.push_back("relative.bin");
    ASSERT_TRUE(dlg.ChooseFirmwareFile(kFilterB, "*.BIN", "BIN"));
    EXPECT_TRUE(fs::path(dlg.m_strFirmwarePath).is_absolute());
    EXPECT_EQ(fs::path(dlg.m_strFirmwarePath).filename(), "relative.bin");
}

TEST_F(FrameTest, CommandLineFileNeedsNoDialog) {
    dlg.m_strFirmwarePath = "/somewhere/cmdline.bin";
    ASSERT_TRUE(dlg.ChooseFirmwareFile(kFilterB, "*.BIN", "BIN"));
    EXPECT_TRUE(env.ui.fileRequests.empty());
    EXPECT_EQ(dlg.m_strFirmwarePath, "/somewhere/cmdline.bin");
}

TEST_F(FrameTest, CancelShowsNothingAndAllocatesNothing) {
    const ProcedureFrame& f = kFrameLoaderSwitch;
    EXPECT_FALSE(dlg.ChooseFirmwareFile(f.filter, f.initialName, f.defaultExt));
    EXPECT_EQ(env.ui.fileRequests.size(), 1u);
    EXPECT_TRUE(dlg.m_strFirmwarePath.empty());
    EXPECT_TRUE(env.ui.messages.empty());
    EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
    EXPECT_TRUE(env.ui.stages.empty());
    EXPECT_TRUE(env.ui.positions.empty());
    EXPECT_EQ(env.ui.stepCalls, 0);
}

// ---- loading -----------------------------------------------------------------------------------

TEST_F(FrameTest, LoadPadsOddLengthsOnlyWhereAsked) {
    struct Case {
        const ProcedureFrame* frame;
        size_t fileLength;
        uint32_t expectedLength;
    };
    const Case cases[] = {
        {&kFrameMicrocode, 101, 101},     {&kFrameLoaderSwitch, 101, 102},
        {&kFrameCdRom, 101, 102},         {&kFrameCheckedImage, 101, 102},
        {&kFrameCdRomPowerOff, 101, 102}, {&kFrameRomImage, 101, 101},
        {&kFrameLoaderSwitch, 100, 100},  {&kFrameRomImage, 100, 100},
        {&kFrameRomImage, 0, 0},          {&kFrameMicrocode, 49, 49},
        {&kFrameCdRom, k256KiB, k256KiB}, {&kFrameCdRom, k256KiB - 1, k256KiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.frame->procedure) + " " + std::to_string(c.fileLength));
        std::vector<uint8_t> bytes = Pattern(c.fileLength);
        dlg.m_strFirmwarePath = WriteFile("image.bin", bytes);
        ASSERT_TRUE(dlg.LoadFirmwareImage(*c.frame));
        ASSERT_NE(dlg.m_imageBuffer.get(), nullptr);
        EXPECT_EQ(dlg.m_imageBufferSize, c.frame->bufferSize);
        EXPECT_EQ(dlg.m_imageLength, c.expectedLength);
        const uint8_t* b = dlg.m_imageBuffer.get();
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), b));
        if (c.expectedLength > c.fileLength) {
            EXPECT_EQ(b[c.fileLength], 0xFF);
        }
        // the rest of the buffer stays zero
        size_t firstZero = c.expectedLength;
        bool zero = true;
        for (size_t i = firstZero; i < c.frame->bufferSize; ++i) zero = zero && b[i] == 0;
        EXPECT_TRUE(zero);
        EXPECT_TRUE(env.ui.messages.empty());
        dlg.ReleaseImage();
        EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
    }
}

TEST_F(FrameTest, FileStageFailuresShowTheProcedureMessage) {
    enum Fault { Missing, Directory, NoMemory };
    struct Case {
        const ProcedureFrame* frame;
        Fault fault;
        const char* text;
        const char* caption;
    };
    const Case cases[] = {
        {&kFrameMicrocode, Missing, "File not found", "HLV DOWNLOAD"},
        {&kFrameCdRom, Missing, "File not found(CD-001)", "CD-ROM DOWNLOAD"},
        {&kFrameCheckedImage, Missing, "File not found(NG-001)", "HLV DOWNLOAD"},
        {&kFrameCdRomPowerOff, Directory, "File not found(CD-001)", "CD-ROM DOWNLOAD"},
        {&kFrameRomImage, NoMemory, "Memory not allocated", "HLV DOWNLOAD"},
        {&kFrameCdRomPowerOff, NoMemory, "Memory not allocated(CD-002)", "CD-ROM DOWNLOAD"},
        {&kFrameCheckedImage, NoMemory, "Memory not allocated(NG-002)", "HLV DOWNLOAD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        env.ui.messages.clear();
        SetImageAllocationLimit(c.fault == NoMemory ? 0 : std::numeric_limits<uint32_t>::max());
        switch (c.fault) {
            case Missing:
                dlg.m_strFirmwarePath = (dir / "absent.bin").string();
                break;
            case Directory:
                dlg.m_strFirmwarePath = dir.string();
                break;
            case NoMemory:
                dlg.m_strFirmwarePath = WriteFile("small.bin", Pattern(100));
                break;
        }
        EXPECT_FALSE(dlg.LoadFirmwareImage(*c.frame));
        ASSERT_EQ(env.ui.messages.size(), 1u);
        EXPECT_EQ(env.ui.messages[0].text, c.text);
        EXPECT_EQ(env.ui.messages[0].caption, c.caption);
        EXPECT_EQ(env.ui.messages[0].type, MB_ICONHAND);
        EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
    }
    EXPECT_TRUE(backend.commands.empty());
}

// The procedure that interleaves the steps (and sends INQUIRY between allocating and reading)
// learns of an oversized file before it allocates anything.
TEST_F(FrameTest, OversizedFileIsRefusedAtAllocation) {
    for (const ProcedureFrame* f : kProcedureFrames) {
        SCOPED_TRACE(f->procedure);
        env.ui.messages.clear();
        dlg.m_imageLength = f->bufferSize + 2;
        EXPECT_FALSE(dlg.AllocateImage(f->bufferSize, f->messages));
        EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
        ASSERT_EQ(env.ui.messages.size(), 1u);
        EXPECT_EQ(env.ui.messages[0].text.rfind(std::string(f->messages.openError) + "\n(", 0), 0u);
    }
}

// A file that changes between learning its length and reading it is not loaded, and the read
// never writes past the buffer.
TEST_F(FrameTest, FileChangedBeforeTheReadIsRefused) {
    struct Case {
        const char* name;
        size_t before, after;
        uint32_t buffer;
    };
    const Case cases[] = {
        {"grew past the buffer", 100, 300, 128},
        {"grew within the buffer", 100, 120, 128},
        {"shrank", 100, 60, 128},
        {"grew from exactly full", 128, 129, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        env.ui.messages.clear();
        dlg.m_strFirmwarePath = WriteFile("moving.bin", Pattern(c.before));
        ASSERT_TRUE(dlg.LearnImageLength(kFrameCheckedImage));
        ASSERT_TRUE(dlg.AllocateImage(c.buffer, kNgFileMessages));
        WriteFile("moving.bin", Pattern(c.after));
        EXPECT_FALSE(dlg.ReadImage(true, kNgFileMessages));
        EXPECT_EQ(env.ui.MessageTexts(),
                  std::vector<std::string>{"Down load file open error(NG-004)"});
        EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
    }
}

TEST_F(FrameTest, OddFileFillingAnOddBufferCannotBePadded) {
    dlg.m_strFirmwarePath = WriteFile("odd.bin", Pattern(7));
    ASSERT_TRUE(dlg.LearnImageLength(kFrameRomImage) && dlg.AllocateImage(7, kCdFileMessages));
    EXPECT_FALSE(dlg.ReadImage(true, kCdFileMessages));
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Down load file open error(CD-004)"});
    EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
    env.ui.messages.clear();
    ASSERT_TRUE(dlg.LearnImageLength(kFrameRomImage) && dlg.AllocateImage(7, kCdFileMessages) &&
                dlg.ReadImage(false, kCdFileMessages));
    EXPECT_EQ(dlg.m_imageLength, 7u);
}

// The interleaved steps: an answer that landed in the buffer before the read is not left
// behind the image.
TEST_F(FrameTest, ReadClearsWhatLayInTheBufferBeyondTheImage) {
    dlg.m_strFirmwarePath = WriteFile("short.bin", Pattern(10));
    ASSERT_TRUE(dlg.LearnImageLength(kFrameRomImage));
    ASSERT_TRUE(dlg.AllocateImage(k1MiB, kPlainFileMessages));
    std::memset(dlg.m_imageBuffer.get(), 0xAB, 96);
    ASSERT_TRUE(dlg.ReadImage(false, kPlainFileMessages));
    EXPECT_EQ(dlg.m_imageBuffer[9], Pattern(10)[9]);
    for (int i = 10; i < 96; ++i) ASSERT_EQ(dlg.m_imageBuffer[i], 0) << i;
}

TEST_F(FrameTest, FileUnreadableAtReadTimeReleasesTheBuffer) {
    dlg.m_strFirmwarePath = WriteFile("gone.bin", Pattern(10));
    ASSERT_TRUE(dlg.LearnImageLength(kFrameRomImage));
    ASSERT_TRUE(dlg.AllocateImage(k1MiB, kPlainFileMessages));
    fs::remove(dlg.m_strFirmwarePath);
    EXPECT_FALSE(dlg.ReadImage(false, kPlainFileMessages));
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Down load file open error"});
    EXPECT_EQ(env.ui.notes,
              std::vector<std::string>{"cannot read the image " + dlg.m_strFirmwarePath +
                                       ": there is no such file (ENOENT)."});
    EXPECT_EQ(dlg.m_imageBuffer.get(), nullptr);
}

// A checked image too short to hold an identity has no format; its length goes to a note.
TEST_F(FrameTest, ShortCheckedImageNotesItsLength) {
    dlg.m_strFirmwarePath = WriteFile("short.bin", Pattern(31));
    EXPECT_FALSE(dlg.LearnImageLength(kFrameCheckedImage));
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Invalid format"});
    EXPECT_EQ(env.ui.notes, std::vector<std::string>{"the image " + dlg.m_strFirmwarePath +
                                                     " is too short (31 bytes: an image holds 32 "
                                                     "to 524288 bytes)."});
}

TEST_F(FrameTest, UnreadableFilesSayWhy) {
    const std::string locked = WriteFile("locked.bin", Pattern(100));
    ::chmod(locked.c_str(), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
    fs::create_symlink(dir / "loop.bin", dir / "loop.bin");
    struct Case {
        std::string path;
        std::string why;
    };
    std::vector<Case> cases = {
        {(dir / "absent.bin").string(), "there is no such file (ENOENT)"},
        {dir.string(), "it is a directory, not a regular file"},
        {(dir / "fifo.bin").string(), "it is a FIFO (named pipe), not a regular file"},
        {(dir / "loop.bin").string(), "its path runs into a loop of symbolic links (ELOOP)"},
    };
    // root reads it all the same
    if (::geteuid() != 0)
        cases.push_back({locked,
                         "permission denied: this user may not read it, or may not enter a "
                         "directory on its path (EACCES)"});
    for (const Case& c : cases) {
        dlg.m_strFirmwarePath = c.path;
        EXPECT_FALSE(dlg.LearnImageLength(kFrameCdRom));
        EXPECT_EQ(env.ui.messages.back().text, "File not found(CD-001)");
        EXPECT_EQ(env.ui.notes.back(), "cannot read the image " + c.path + ": " + c.why + ".");
    }
}

// ---- waits -------------------------------------------------------------------------------------

TEST_F(FrameTest, SettleWaitStepsOncePerSecond) {
    struct Case {
        uint8_t kind;
        bool backend;
        int pendingPolls;  // polls that report "still running"
        int expectedSteps;
    };
    const Case cases[] = {
        {18, true, 0, 10},  // other kinds never end early, even with a finished command
        {33, true, 100, 10},
        {48, true, 3, 4},     // ends at the first tick after the command ended
        {48, true, 100, 10},  // never ended: full length
        {48, true, 0, 1},
        {48, false, 0, 1},  // no transport: the poll reports failed, which also ends it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + "/" + std::to_string(c.pendingPolls));
        backend.pendingPolls = c.pendingPolls;
        const uint8_t store[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, store, nullptr, 0), 1);
        SetBackends(c.backend ? &backend : nullptr, nullptr);
        dlg.m_nKind = c.kind;
        env.ui = FakeUi{};
        uint64_t start = env.clock.ElapsedMs();
        dlg.SettleWait(10);
        EXPECT_EQ(env.ui.stepCalls, c.expectedSteps);
        EXPECT_EQ(env.ui.pumps, c.expectedSteps);
        EXPECT_GE(env.clock.ElapsedMs() - start, 1000u * c.expectedSteps);
        EXPECT_LT(env.clock.ElapsedMs() - start, 1000u * (c.expectedSteps + 1));
        EXPECT_EQ(env.ui.low, 0);
        EXPECT_EQ(env.ui.high, 10);
        EXPECT_EQ(env.ui.step, 1);
        ASSERT_FALSE(env.ui.positions.empty());
        EXPECT_EQ(env.ui.positions.front(), 0);
        EXPECT_EQ(env.ui.positions.back(), 10);
        // stepped one by one before the end position
        ASSERT_EQ(env.ui.positions.size(), static_cast<size_t>(c.expectedSteps) + 2);
        EXPECT_EQ(env.ui.positions[c.expectedSteps], c.expectedSteps);
    }
}

TEST_F(FrameTest, PumpForMsKeepsPumpingUntilTheDeadline) {
    for (uint16_t ms : {uint16_t{2500}, uint16_t{1}, uint16_t{0}}) {
        env.ui.pumps = 0;
        uint64_t start = env.clock.ElapsedMs();
        dlg.PumpMessagesForMs(ms);
        EXPECT_GE(env.clock.ElapsedMs() - start, ms);
        EXPECT_LE(env.clock.ElapsedMs() - start, ms + 2u);
        if (ms > 1) {
            EXPECT_GT(env.ui.pumps, 0);
        }
    }
}

// ---- drive checks ------------------------------------------------------------------------------

TEST_F(FrameTest, CheckNoMediumWantsNotReadyMediumNotPresent) {
    struct Case {
        int result;
        uint8_t key, asc, ascq;
        bool noMedium;
    };
    const Case cases[] = {
        {0, 0x02, 0x3A, 0x00, true},   // no disc
        {1, 0x00, 0x00, 0x00, false},  // disc in a ready drive
        {0, 0x02, 0x04, 0x01, false},  // becoming ready: a disc is there
        {0, 0x06, 0x28, 0x00, false},  // anything else
        {0, 0x02, 0x3A, 0x01, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.key) + "/" + Hex(c.asc) + "/" + Hex(c.ascq));
        env.ui.messages.clear();
        backend.commands.clear();
        FakeReply r;
        r.outcome = c.result ? Good() : CheckCondition(c.key, c.asc, c.ascq);
        backend.replies = {r};
        uint64_t start = env.clock.ElapsedMs();
        EXPECT_EQ(dlg.CheckNoMedium(), c.noMedium);
        EXPECT_EQ(backend.Opcodes(), std::vector<uint8_t>{0x00});
        if (c.noMedium) {
            EXPECT_TRUE(env.ui.messages.empty());
            EXPECT_GE(env.clock.ElapsedMs() - start, 700u);
        } else {
            ASSERT_EQ(env.ui.messages.size(), 1u);
            EXPECT_EQ(env.ui.messages[0].text, "Please eject the disc and try again..");
            EXPECT_EQ(env.ui.messages[0].caption, "HLV DOWNLOAD");
            EXPECT_EQ(env.ui.messages[0].type, MB_ICONEXCLAMATION);
            EXPECT_LT(env.clock.ElapsedMs() - start, 700u);
        }
    }
}

class SwitchLoaderTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        rt().clock = &clock;
        identity.assign(36, 0);
        identity[0] = 5;
        const char text[] = "HALVERONCD-ROM LOADER    9.99";
        std::memcpy(identity.data() + 8, text, 28);
        backend.responder = [this](const FakeCommand& c) {
            log.push_back("cmd " + Hex(c.cdb[0]));
            FakeReply r;
            if (c.cdb[0] == 0x12) r.data = identity;
            if (!outcomes.empty()) {
                if (!outcomes.front()) r.outcome = CheckCondition(0x04, 0x44, 0x00);
                outcomes.erase(outcomes.begin());
            }
            return r;
        };
    }
    std::vector<std::string> log;
    RecordingClock clock{log};
    std::vector<uint8_t> identity;
    std::vector<int> outcomes;  // results of the commands in order; then success
};

TEST_F(SwitchLoaderTest, SendsInquiryThenTheSwitchWithTheIdentity) {
    for (bool shortAnswer : {false, true}) {
        SCOPED_TRACE(shortAnswer ? "short answer" : "whole answer");
        backend.commands.clear();
        std::memset(readBackBuffer, 0xEE, 64);
        identity.clear();  // the drive returns no data: the cleared bytes show
        dlg.m_nKind = 4;
        backend.responder = [this, shortAnswer](const FakeCommand& c) {
            FakeReply r;
            if (c.cdb[0] == 0x12) {
                // The whole answer's area is cleared, not only its first 4 bytes: what a short
                // answer leaves out must not travel with the switch.
                for (int i = 0; i < 36; ++i) EXPECT_EQ(readBackBuffer[i], 0) << i;
                EXPECT_EQ(readBackBuffer[36], 0xEE);
                std::memcpy(readBackBuffer + 8, "VENDOR  PRODUCT NAME    REV1",
                            shortAnswer ? 12 : 28);
            }
            return r;
        };
        ASSERT_TRUE(dlg.SwitchLoader(0));
        ASSERT_EQ(backend.commands.size(), 2u);
        const FakeCommand& inq = backend.commands[0];
        EXPECT_EQ(inq.cdb, (std::vector<uint8_t>{0x12, 0x00, 0x00, 0x00, 0x24, 0x00}));
        EXPECT_EQ(inq.direction, XFER_IN);
        EXPECT_EQ(inq.length, 36u);
        const FakeCommand& cc = backend.commands[1];
        EXPECT_EQ(cc.cdb, (std::vector<uint8_t>{0xCC, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0}));
        EXPECT_EQ(cc.direction, XFER_OUT);
        EXPECT_EQ(cc.wait, 1);
        EXPECT_EQ(cc.length, 28u);
        std::vector<uint8_t> expected(28, 0);
        std::memcpy(expected.data(), "VENDOR  PRODUCT NAME    REV1", shortAnswer ? 12 : 28);
        EXPECT_EQ(cc.out, expected);
        EXPECT_TRUE(env.ui.messages.empty());
    }
}

TEST_F(SwitchLoaderTest, WaitsAndSettlesByKind) {
    struct Case {
        uint8_t kind;
        int settle;
        std::vector<int> outcomes;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {4, 0, {}, {"cmd 12", "cmd CC"}},
        {34, 0, {}, {"cmd 12", "cmd CC", "sleep 900"}},
        {18, 0, {}, {"cmd 12", "cmd CC", "sleep 3000"}},
        {17, 1, {}, {"cmd 12", "cmd CC", "sleep 3000", "cmd 00"}},
        {18, 1, {1, 1, 0, 1}, {"cmd 12", "cmd CC", "sleep 3000", "sleep 3000", "cmd 00", "cmd 00"}},
        {34, 1, {1, 1, 0, 0}, {"cmd 12", "cmd CC", "sleep 900", "sleep 3000", "cmd 00", "cmd 00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + "/" + std::to_string(c.settle));
        log.clear();
        backend.commands.clear();
        outcomes = c.outcomes;
        dlg.m_nKind = c.kind;
        EXPECT_TRUE(dlg.SwitchLoader(c.settle));  // settle results do not matter
        EXPECT_EQ(log, c.events);
        EXPECT_TRUE(env.ui.messages.empty());
    }
}

TEST_F(SwitchLoaderTest, FailuresShowTheirOwnMessage) {
    struct Case {
        std::vector<int> outcomes;
        const char* message;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {{0}, "Down Load fault(NG-100)", {"cmd 12"}},
        {{1, 0}, "Down Load fault(NG-101)", {"cmd 12", "cmd CC"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        log.clear();
        env.ui.messages.clear();
        outcomes = c.outcomes;
        dlg.m_nKind = 18;
        EXPECT_FALSE(dlg.SwitchLoader(1));
        EXPECT_EQ(log, c.events);  // nothing after the failure, no sleeps
        ASSERT_EQ(env.ui.messages.size(), 1u);
        EXPECT_EQ(env.ui.messages[0].text, c.message);
        EXPECT_EQ(env.ui.messages[0].caption, "HLV DOWNLOAD");
        EXPECT_EQ(env.ui.messages[0].type, MB_ICONHAND);
    }
}

TEST_F(SwitchLoaderTest, NoReadBackBufferSendsNothing) {
    FreeReadBackBuffer();
    EXPECT_FALSE(dlg.SwitchLoader(0));
    EXPECT_TRUE(backend.commands.empty());
    EXPECT_EQ(env.ui.MessageTexts(), std::vector<std::string>{"Down Load fault(NG-100)"});
}

// ---- texts -------------------------------------------------------------------------------------

TEST(FrameSense, ReportFormat) {
    struct Case {
        uint8_t key, asc, ascq, status;
        const char* text;
    };
    const Case cases[] = {
        {0x02, 0x3A, 0x00, 0x00, "02-3a-0 \nStatus 00"},
        {0x05, 0x2C, 0x00, 0x02, "05-2c-0 \nStatus 02"},
        {0x0B, 0x47, 0x12, 0xFF, "0b-47-12\nStatus ff"},
        {0xF0, 0x00, 0x0A, 0x00, "f0-00-a \nStatus 00"},
    };
    TestEnv env;
    for (const Case& c : cases) {
        lastCommandError = CommandErrorRecord{};
        lastCommandError.senseKey = c.key;
        lastCommandError.asc = c.asc;
        lastCommandError.ascq = c.ascq;
        lastCommandError.status = c.status;
        lastCommandError.reserved[0] = 0x77;  // not part of the report
        EXPECT_EQ(CDISCFLASHDlg::SenseReport(), c.text);
    }
}

TEST_F(FrameTest, StageAndProgressHelpersReachTheDialog) {
    dlg.SetStage("F/W Writing  ..");
    dlg.SetStage(kStageClear);
    EXPECT_EQ(env.ui.stages, (std::vector<std::string>{"F/W Writing  ..", " "}));
    ProgressBegin(3);
    ProgressAdvance();
    ProgressAdvance();
    ProgressEnd(3);
    EXPECT_EQ(env.ui.high, 3);
    EXPECT_EQ(env.ui.step, 1);
    EXPECT_EQ(env.ui.positions, (std::vector<int32_t>{0, 1, 2, 3}));
}

}  // namespace
