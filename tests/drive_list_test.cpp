// --list, --check for one drive, and the note on other programs before a download: emulated drives
// whose nodes a /proc tree of the test's own says other processes have open.
#include "app/cli/drive_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "drives/test_hooks.h"
#include "emu/emulated_host.h"
#include "support/emulated_run.h"
#include "support/fake_ui.h"
#include "support/program_run.h"
#include "system/node_users.h"

namespace {

constexpr int kSelf = 7;  // this process, as the tree has it

// /proc with processes that have files open: PID/fd/N links and PID/comm.
struct ProcTree {
    std::string root = TempPath("proc");
    ProcTree() {
        Process(kSelf, "discflash", {"emu:sr0"});
        Process(100, "vlc", {"/dev/null", "emu:sr0"});
        Process(42, "cdrom_id", {"emu:sg1"});
        std::filesystem::create_directories(root + "/55");  // another user's: no fd to read
        std::filesystem::create_directories(root + "/sys/fd");
    }
    ~ProcTree() { std::filesystem::remove_all(root); }
    void Process(int pid, const std::string& name, const std::vector<std::string>& files) {
        const std::string dir = root + "/" + std::to_string(pid);
        std::filesystem::create_directories(dir + "/fd");
        std::ofstream(dir + "/comm") << name << "\n";
        for (size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(symlink(files[i].c_str(), (dir + "/fd/" + std::to_string(i)).c_str()), 0);
    }
};

class ProcTreePort : public EmulatedDevicePort {
  public:
    ProcTreePort(std::vector<EmulatedDriveSpec> specs, ClockPort& clock, std::string proc)
        : EmulatedDevicePort(std::move(specs), clock), proc_(std::move(proc)) {}
    std::vector<NodeUser> OpenedBy(const std::vector<std::string>& paths) override {
        return ProcessesWithOpen(proc_, paths, kSelf);
    }
    // Without CAP_SYS_RAWIO only the generic nodes take firmware commands.
    bool MaySendAnyCommand(NodeClass cls) override { return rawio || cls == NodeClass::Generic; }
    bool rawio = true;

  private:
    std::string proc_;
};

// An emulated run whose device port reads the tree, with the drives' polling settings.
struct TreeRun : EmulatedTransport {
    ProcTree proc;
    ProcTreePort port;
    EmulatedHostSettings settings;

    TreeRun(TransportChoice t, const std::vector<std::string>& drives, const char* program)
        : EmulatedTransport(t, drives, false, program),
          port(EmulatedSpecs(drives), clock(), proc.root),
          settings(EmulatedSpecs(drives)) {
        rt().devices = &port;
        rt().hostSettings = &settings;
    }
    ~TreeRun() { session.reset(); }
};

std::string Swapped(std::string s) {
    for (size_t at = s.find("emu:s"); at != std::string::npos; at = s.find("emu:s", at + 1))
        s[at + 5] = s[at + 5] == 'r' ? 'g' : 'r';
    return s;
}

TEST(DriveList, EveryDriveWithWhatADownloadWouldMeet) {
    const std::vector<std::string> drives = {"LD4740", "LD5871,loader=1", "LDMULTI,busy=2,poll=1",
                                             "LD4740,identity=HALVERON\\x7fCD-RW"};
    const std::string sr =
        "{\"drives\":["
        "{\"node\":\"emu:sr0\",\"other_node\":\"emu:sg0\",\"hctl\":\"0:0:0:0\",\"identity\":"
        "\"HALVERONCD-RW  KR-4740  \",\"revision\":\"1.00\",\"programs\":[\"LD4740\"],"
        "\"in_loader\":false,\"access\":\"ok\",\"open_by\":[{\"pid\":100,\"name\":\"vlc\"}],"
        "\"polling\":\"off\"},"
        "{\"node\":\"emu:sr1\",\"other_node\":\"emu:sg1\",\"hctl\":\"0:0:1:0\",\"identity\":"
        "\"HALVERON VD5870 DOWNLOAD\",\"revision\":\"0.10\",\"programs\":[\"LD5871\"],"
        "\"in_loader\":true,\"access\":\"ok\",\"open_by\":[{\"pid\":42,\"name\":\"cdrom_id\"}],"
        "\"polling\":\"off\"},"
        "{\"node\":\"emu:sr2\",\"other_node\":\"emu:sg2\",\"hctl\":\"0:0:2:0\",\"identity\":"
        "\"HALVERONDVD-RAM VR-6910N\",\"revision\":\"1.00\",\"programs\":[\"LDMULTI\"],"
        "\"in_loader\":false,\"access\":\"held\",\"access_reason\":\"emu:sr2 is held by another "
        "program (`fuser -v emu:sr2` names it)\",\"open_by\":[],\"polling\":\"on\"},"
        "{\"node\":\"emu:sr3\",\"other_node\":\"emu:sg3\",\"hctl\":\"0:0:3:0\",\"identity\":"
        "\"HALVERON\\u007fCD-RW          \",\"identity_hex\":"
        "\"48414c5645524f4e7f43442d525720202020202020202020\",\"revision\":\"1.00\","
        "\"programs\":[],\"in_loader\":false,\"access\":\"ok\",\"open_by\":[],"
        "\"polling\":\"off\"}]}\n";
    const std::string table =
        "NODE     OTHER    H:C:T:L  IDENTITY                       REV     PROGRAMS  LOADER  "
        "ACCESS  POLLING  OPEN BY\n"
        "emu:sr0  emu:sg0  0:0:0:0  \"HALVERONCD-RW  KR-4740  \"     \"1.00\"  LD4740    no      "
        "ok      off      100 vlc\n"
        "emu:sr1  emu:sg1  0:0:1:0  \"HALVERON VD5870 DOWNLOAD\"     \"0.10\"  LD5871    yes     "
        "ok      off      42 cdrom_id\n"
        "emu:sr2  emu:sg2  0:0:2:0  \"HALVERONDVD-RAM VR-6910N\"     \"1.00\"  LDMULTI   no      "
        "held    on       -\n"
        "emu:sr3  emu:sg3  0:0:3:0  \"HALVERON\\x7FCD-RW          \"  \"1.00\"  -         no      "
        "ok      off      -\n"
        "emu:sr2: held: emu:sr2 is held by another program (`fuser -v emu:sr2` names it)\n";
    for (TransportChoice t : expect::kBothTransports) {
        SCOPED_TRACE(expect::TransportName(t));
        const bool sg = t == TransportChoice::Sg;
        {
            TreeRun bare(t, {"LD4740"}, "DISCFLASH");
            bare.port.rawio = false;
            std::vector<ListedDrive> listed;
            ASSERT_TRUE(ListDrives(listed));
            EXPECT_EQ(listed.at(0).access, sg ? "ok" : "no-rights");
        }
        TreeRun run(t, drives, "DISCFLASH");
        std::vector<ListedDrive> listed;
        ASSERT_TRUE(ListDrives(listed));
        EXPECT_EQ(DriveListJson(listed), sg ? Swapped(sr) : sr);
        if (!sg) {
            EXPECT_EQ(DriveListTable(listed), table);
        }
        // Nothing but the scan's INQUIRY reached a drive.
        for (size_t i = 0; i < drives.size(); ++i)
            for (const LoggedCommand& c : run.port.Drive(i).Log()) EXPECT_EQ(c.cdb[0], 0x12);
    }
}

TEST(DriveList, CheckForOneDriveSendsItOnlyInquiry) {
    const std::string image = TempPath("LD4740.BIN"), trace = TempPath("check.jsonl");
    const std::vector<uint8_t> bytes = EmulatedRun::Sample("LD4740", 65536);
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    struct Case {
        std::vector<std::string> drive;
        int status;
        const char* line;
    };
    const Case cases[] = {
        {{"--emulate=LD4740"}, 0, "emu:sr0 \"HALVERONCD-RW  KR-4740  \" LD4740   accepted: 65536"},
        {{"--emulate=LD4740,loader=1", "--transport=sg"},
         0,
         "emu:sg0 \"HALVERONCD-RW  KR-4740P \" LD4740   accepted: 65536"},
        {{"--emulate=LD5871", "--emulate=LD4740", "--device=emu:sr0"},
         1,
         "emu:sr0 \"HALVERONDVD-ROM VD-5871 \" LD5871   refused: \"Down Load fault(CD-005)\""},
        {{"--emulate=LD4740,identity=OTHER"}, 3, "emu:sr0 \"OTHER                   \" belongs to"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--check", image, "--trace=" + trace};
        args.insert(args.end(), c.drive.begin(), c.drive.end());
        const ProgramRun r = RunProgram("LD3410", args);
        EXPECT_EQ(r.status, c.status) << c.drive[0] << r.err;
        EXPECT_EQ(r.out.rfind(c.line, 0), 0u) << r.out;
        EXPECT_EQ(Count(r.out, "\n"), 1) << r.out;
        const std::string traced = Slurp(trace);
        EXPECT_EQ(Count(traced, "\"ev\":\"cmd\""), 1) << traced;
        EXPECT_EQ(Count(traced, "\"cdb\":\"12"), 1) << traced;
        std::remove(trace.c_str());
    }
    std::remove(image.c_str());
}

TEST(DriveList, DownLoadNamesOtherProgramsWithTheDriveOpenFirst) {
    // The file on the command line goes to the first drive of a known family.
    const std::string kOther = "LD4740,identity=OTHER";
    struct Case {
        std::vector<std::string> drives;
        const char* note;  // empty: none
    };
    const Case cases[] = {
        {{"LD5871"}, "(emu:sr0 or emu:sg0): PID 100 (vlc)."},
        {{kOther, "LD5871"}, "(emu:sr1 or emu:sg1): PID 42 (cdrom_id)."},
        {{kOther, kOther, "LD5871"}, ""},
    };
    for (const Case& c : cases) {
        TreeRun run(TransportChoice::Sr, c.drives, "LD5871");
        std::vector<std::string> notes;  // when the procedure would send its first command
        SetProcedureHookForTests([&](CDISCFLASHDlg&) { notes = run.ui.notes; });
        CDISCFLASHDlg dlg;
        dlg.m_strFirmwarePath = "LD5871.BIN";
        ASSERT_TRUE(dlg.OnInitDialog());
        dlg.OnOK();
        SetProcedureHookForTests(nullptr);
        const std::string said = notes.empty() ? "" : notes.back();
        if (*c.note) {
            EXPECT_EQ(said.rfind("other programs have the drive open ", 0), 0u) << said;
            EXPECT_NE(said.find(c.note), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
    }
}

}  // namespace
