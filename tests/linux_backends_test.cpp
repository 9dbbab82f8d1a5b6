// The two Linux back ends: the sg_io_hdr request made of a command and the reading of the
// kernel's answer, the listing of each, and their kernel calls over emulated drives on the
// virtual clock: the sr worker of a no-wait command, the sg give-up and its late reply.
#include "scsi/linux_backends.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "drives/test_hooks.h"
#include "support/emulated_run.h"
#include "support/recording_priority.h"
#include "support/trace_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- the request and the answer ----------------------------------------------------------------

// The request goes to the kernel with the caller's buffer, no data length without a direction
// (the block layer refuses one). Sense is read only as far as the drive vouched for it: the
// length the kernel wrote, the area, the sense's own additional length; descriptor format too.
// The residual never passes the data; a call that failed says nothing of status or sense.
TEST(SgBlock, ARequestAsTheKernelTakesItAndItsAnswerAsFarAsItWasGiven) {
    using Bytes = std::vector<uint8_t>;
    const Bytes fixed = {0x70, 0, 0x24, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x01, 0, 0, 0, 0};
    Bytes cut = fixed;
    cut[7] = 3;
    const Bytes descriptor = {0x72, 0xF4, 0x44, 0x01, 0, 0, 0, 0};
    const struct {
        uint8_t direction;
        uint32_t length;
        int kernelDirection;
        Bytes sense;
        int written, resid;  // sb_len_wr, resid
        Bytes read;          // key, ASC, ASCQ, residual
    } cases[] = {
        {XFER_IN, 8, SG_DXFER_FROM_DEV, fixed, 18, 0, {0x24, 0x44, 0x01, 0}},
        {XFER_OUT, 8, SG_DXFER_TO_DEV, fixed, 0, 0, {0, 0, 0, 0}},  // none written
        {XFER_NONE, 8, SG_DXFER_NONE, cut, 18, 0, {0x24, 0, 0, 0}},
        {0, 8, SG_DXFER_TO_FROM_DEV, fixed, 255, 0, {0x24, 0x44, 1, 0}},  // beyond its area
        {XFER_IN, 0, SG_DXFER_NONE, descriptor, 8, 0, {0x04, 0x44, 0x01, 0}},
        {XFER_IN, 8, SG_DXFER_FROM_DEV, {}, 0, 5, {0, 0, 0, 5}},   // a short read
        {XFER_IN, 8, SG_DXFER_FROM_DEV, {}, 0, 99, {0, 0, 0, 8}},  // beyond the data
        {XFER_IN, 8, SG_DXFER_FROM_DEV, {}, 0, -4, {0, 0, 0, 0}},
    };
    const uint8_t cdb[10] = {0x3C, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    uint8_t buffer[8];
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        SgBlock b;
        std::memset(b.sense, 0xEE, sizeof b.sense);
        b.Prepare({.cdb = cdb,
                   .cdbLength = 10,
                   .direction = c.direction,
                   .data = buffer,
                   .length = c.length,
                   .timeoutMs = 300000});
        const bool data = c.kernelDirection != SG_DXFER_NONE;
        EXPECT_EQ(b.hdr.dxfer_direction, c.kernelDirection);
        EXPECT_EQ(b.hdr.dxfer_len, data ? c.length : 0u);
        EXPECT_EQ(b.hdr.dxferp, data ? buffer : nullptr);  // not a copy
        EXPECT_TRUE(b.hdr.interface_id == 'S' && b.hdr.cmd_len == 10 && b.hdr.mx_sb_len == 16 &&
                    b.hdr.sbp == b.sense && b.sense[0] == 0 && b.hdr.timeout == 300000u);
        EXPECT_EQ(std::memcmp(b.hdr.cmdp, cdb, 10), 0);
        std::copy(c.sense.begin(), c.sense.end(), b.sense);
        b.hdr.sb_len_wr = static_cast<unsigned char>(c.written);
        std::tie(b.hdr.status, b.hdr.host_status, b.hdr.driver_status) = std::tuple(2, 4, 8);
        b.hdr.resid = c.resid;
        CommandOutcome o, failed;
        b.Read(0, 0, o);
        EXPECT_TRUE(o.sent && o.status == 2 && o.host == 4 && o.driver == 8 && o.senseLength <= 16);
        EXPECT_EQ(Bytes({o.senseKey, o.asc, o.ascq, uint8_t(o.residual)}), c.read);
        b.Read(-1, EINVAL, failed);
        EXPECT_TRUE(failed.sent && failed.err == EINVAL);
        EXPECT_EQ(failed.status | failed.host | failed.senseKey | failed.asc, 0);
    }
}

// ---- listing -----------------------------------------------------------------------------------

// Each record as "node|label|target|type|identity", the texts up to their first NUL.
std::string Listed(const DriveRecord& d) {
    return d.node + "|" + std::string(d.label, strnlen(d.label, 2)) + "|" +
           std::to_string(d.targetId) + "|" + std::to_string(d.inquiry[0]) + "|" +
           std::string(d.IdentityText(), strnlen(d.IdentityText(), 24));
}
std::vector<std::string> Split(const std::string& s) {
    std::vector<std::string> parts;
    std::istringstream in(s);
    for (std::string part; std::getline(in, part, '/');) parts.push_back(part);
    return parts;
}

// sr lists every CD/DVD block device, labelled with its node's number, addressed by its node
// alone, with INQUIRY for 64 bytes; a node that does not open is tried twice and counted empty,
// an INQUIRY never answered ends with the kernel's 5 s. sg lists only type 5 answers to INQUIRY
// 255 into 1024 bytes, skips a node it cannot open without a pause, ends the scan at a device
// that gives no answer within 20 s, and asks the next target when the table is full. --device
// gives the order. A short answer keeps nothing of the one before.
TEST(LinuxList, WhatEachTransportLists) {
    const TransportChoice sr = TransportChoice::Sr, sg = TransportChoice::Sg;
    const struct {
        TransportChoice t;
        int capacity;
        uint64_t ms;  // the time it takes, within a second
        // Lists joined by '/': the --emulate values, the records, INQUIRYs per drive, --device,
        // the notes' beginnings and the boxes.
        const char *drives, *listed, *asked, *filter = "", *notes = "", *boxes = "";
    } cases[] = {
        {sr, 16, 0, "LD4740/LD3410,type=0x25/LD5850",
         "emu:sr2|2 |0|5|HALVERONDVD-ROM VD-5850 /emu:sr1|1 |0|37|HALVERONCD-RW  KR-3410  ",
         "0/1/1", "emu:sr2/emu:nothing/emu:sr1/emu:sg2", "--device=emu:nothing is ignored"},
        {sr, 2, 6500, "LD4740,busy=1/LD3410,hang=12/LD5850", "||0|0|/emu:sr1|1 |0|0|", "0/1/0", "",
         "cannot open emu:sr0: EBUSY/emu:sr1: command 12 timed out",
         "CreateFile Err 16/Error IOCTL_SCSI_GET_ADDRESS ; error was 5\n"},
        {sg, 16, 20000,
         "LD4740,busy=1/LD3410,type=0x25/LD5850/LD5871,type=0/LD4630,inquiry-length=4/"
         "LD5860,hang=12/LDMULTI",
         "emu:sg2|0 |2|5|HALVERONDVD-ROM VD-5850 /emu:sg4|1 |4|5|", "0/1/1/1/1/1/0", "",
         "cannot open emu:sg0: EBUSY/emu:sg5: command 12 got no answer within the program's"},
        {sg, 16, 0, "LD4740/LD3410/LD5850",
         "emu:sg2|0 |2|5|HALVERONDVD-ROM VD-5850 /emu:sg0|1 |0|5|HALVERONCD-RW  KR-4740  ", "1/0/1",
         "emu:sg2/emu:sr0/emu:sg2"},
        {sg, 1, 0, "LD4740/LD3410/LD5850", "emu:sg0|0 |0|5|HALVERONCD-RW  KR-4740  ", "1/1/1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drives);
        EmulatedTransport rig(c.t, Split(c.drives), false);
        rt().deviceFilter = Split(c.filter);
        ASSERT_EQ(InitTransport(), 1);
        const int n = EnumerateDrives(c.capacity, driveTable);
        std::vector<std::string> listed, asked;
        for (int i = 0; i < n; ++i) listed.push_back(Listed(driveTable[i]));
        EXPECT_EQ(listed, Split(c.listed));
        const bool isSg = c.t == sg;
        const std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, uint8_t(isSg ? 0xFF : 64), 0};
        for (size_t d = 0; d < Split(c.drives).size(); ++d) {
            asked.push_back(std::to_string(rig.drive(d).CountOf(0x12)));
            for (const auto& command : rig.drive(d).Log()) {
                EXPECT_EQ(command.cdb, inquiry);
                EXPECT_EQ(command.inCapacity, isSg ? 1024u : 64u);
            }
        }
        EXPECT_EQ(asked, Split(c.asked));
        EXPECT_GE(rig.clock().ElapsedMs(), c.ms);
        EXPECT_LT(rig.clock().ElapsedMs(), c.ms + 1000);
        EXPECT_EQ(rig.ui.MessageTexts(), Split(c.boxes));
        const std::vector<std::string> notes = Split(c.notes);
        ASSERT_EQ(rig.ui.notes.size(), notes.size());
        for (size_t i = 0; i < notes.size(); ++i)
            EXPECT_EQ(rig.ui.notes[i].rfind(notes[i], 0), 0u) << rig.ui.notes[i];
    }
}

TEST(AspiList, TheWalkVisitsAdaptersTargetsAndLunsInOrder) {
    // sg numbering deliberately unlike the address order: path, index, host, channel, target, lun.
    const std::vector<DeviceNode> nodes = {
        {"sg0", 0, 2, 0, 0, 0}, {"sg1", 1, 0, 1, 0, 0}, {"sg2", 2, 0, 0, 3, 0},
        {"sg3", 3, 0, 0, 1, 3}, {"sg4", 4, 0, 0, 1, 0}, {"sg5", 5, 0, 0, 1, 1},
        {"sg6", 6, 0, 0, 7, 0}, {"sg7", 7, 0, 0, 2, 0}, {"sg8", 8, 0, 0, 2, 1}};
    const struct {
        std::string leave;  // the node after which its target is left, or the walk ends
        bool stop;
        std::string visited;  // "node/adapter ..."
    } cases[] = {
        {"", false, "sg4/0 sg5/0 sg3/0 sg7/0 sg8/0 sg2/0 sg1/1 sg0/2 "},
        {"sg4", false, "sg4/0 sg7/0 sg8/0 sg2/0 sg1/1 sg0/2 "},  // a full table leaves the target
        {"sg7", true, "sg4/0 sg5/0 sg3/0 sg7/0 "},               // no answer ends the walk
    };
    for (const auto& c : cases) {
        std::string visited;
        const int adapters = WalkAdapters(nodes, [&](const DeviceNode& n, uint8_t adapter) {
            visited += n.path + "/" + std::to_string(adapter) + " ";
            return n.path != c.leave ? Walk::Next : c.stop ? Walk::Stop : Walk::NextTarget;
        });
        EXPECT_EQ(adapters, 3);
        EXPECT_EQ(visited, c.visited);
    }
}

// ---- the kernel's refusals, and what a back end asks of it -------------------------------------

// Emulated drives behind a kernel that refuses what a test asks of it, and keeps count of what
// it was asked.
class KernelPort : public EmulatedDevicePort {
  public:
    using EmulatedDevicePort::EmulatedDevicePort;
    enum Call { kNone, kSgIo, kSubmit, kCollect, kDuplicate };
    Call failing = kNone;  // the next such call fails with `failErr`
    int failErr = 0;
    bool mayAny = true, generic = true;
    uint32_t queueLimit = kMaxTransfer;
    std::vector<std::string> held;  // the paths opened to hold the drive
    std::vector<int> reserved;      // the reserved buffer sizes asked for
    int opens = 0, closes = 0;

    int Open(const std::string& path, int& err) override {
        ++opens;
        return EmulatedDevicePort::Open(path, err);
    }
    int OpenExclusive(const std::string& path, int& err, std::string& busy) override {
        held.push_back(path);
        busy = path;
        return EmulatedDevicePort::Open(path, err);
    }
    void Close(int handle) override {
        ++closes;
        EmulatedDevicePort::Close(handle);
    }
    int Duplicate(int handle, int& err) override {
        return Fails(kDuplicate, err) ? -1 : EmulatedDevicePort::Duplicate(handle, err);
    }
    int SgIo(int handle, sg_io_hdr_t& hdr, int& err) override {
        return Fails(kSgIo, err) ? -1 : EmulatedDevicePort::SgIo(handle, hdr, err);
    }
    int Submit(int handle, sg_io_hdr_t& hdr, int& err) override {
        return Fails(kSubmit, err) ? -1 : EmulatedDevicePort::Submit(handle, hdr, err);
    }
    int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) override {
        return Fails(kCollect, err) ? -1 : EmulatedDevicePort::Collect(handle, hdr, timeoutMs, err);
    }
    int SetReservedSize(int handle, int bytes, int& err) override {
        reserved.push_back(bytes);
        return EmulatedDevicePort::SetReservedSize(handle, bytes, err);
    }
    uint32_t MaxTransferBytes(int handle) override {
        return EmulatedDevicePort::MaxTransferBytes(handle) ? queueLimit : 0;
    }
    bool MaySendAnyCommand(NodeClass) override { return mayAny; }
    bool GenericDriverPresent() override { return generic; }

  private:
    bool Fails(Call call, int& err) {
        if (failing != call) return false;
        failing = kNone;
        err = failErr;
        return true;
    }
};

// Drives of these --emulate values behind a KernelPort; Open lists them and opens the first.
struct KernelRig : EmulatedTransport {
    KernelPort port;
    explicit KernelRig(TransportChoice t, const std::vector<std::string>& drives = {"LD4740"})
        : EmulatedTransport(t, drives, false), port(Specs(drives), clock()) {
        rt().devices = &port;
    }
    ~KernelRig() {
        CloseDrive();
        rt().devices = nullptr;
    }
    static std::vector<EmulatedDriveSpec> Specs(const std::vector<std::string>& drives) {
        std::vector<EmulatedDriveSpec> specs;
        std::string error;
        EXPECT_TRUE(ParseEmulateOptions(drives, specs, error)) << error;
        return specs;
    }
    bool Open() {
        return InitTransport() == 1 && EnumerateDrives(kDriveTableCapacity, driveTable) >= 1 &&
               OpenDrive(driveTable[0]) == 1;
    }
};

using expect::kBothTransports;
using expect::TransportName;

// The list only looks at the nodes and leaves none open; a download holds its node, and carries
// as much in one command as the queue takes (sg: as its reserved buffer, when the queue does not
// say); closed, it carries nothing. What is missing to send anything is said, with how to grant
// it, and only then: through sr the CAP_SYS_RAWIO capability; through sg the sg driver (a new
// user's box, then how to load it) and the node's read-write access.
TEST(LinuxOpen, TheListLooksADownloadHoldsAndMissingRightsAreSaid) {
    for (TransportChoice t : kBothTransports) {
        for (uint32_t queue : {131072u, 0u}) {
            SCOPED_TRACE(std::string(TransportName(t)) + " queue " + std::to_string(queue));
            const bool sg = t == TransportChoice::Sg;
            KernelRig rig(t, {"LD4740", "LD3410"});
            rig.port.queueLimit = queue;
            rt().programFile = "/opt/df/discflash";
            rig.port.generic = false;  // sr does without it
            EXPECT_EQ(InitTransport(), sg ? 0 : 1);
            if (sg) {
                EXPECT_EQ(rig.ui.MessageTexts(),
                          std::vector<std::string>{"WNASPI32.DLL Not Found"});
                EXPECT_EQ(IsAspiMode(), 1);
                ASSERT_EQ(rig.ui.notes.size(), 1u);
                EXPECT_EQ(rig.ui.messages[0].detail, rig.ui.notes[0]);
                EXPECT_NE(rig.ui.notes[0].find("sg) is not loaded"), std::string::npos);
            }
            rig.port.generic = true;
            ASSERT_EQ(InitTransport(), 1);
            ASSERT_EQ(EnumerateDrives(kDriveTableCapacity, driveTable), 2);
            EXPECT_TRUE(rig.port.opens == 2 && rig.port.closes == 2 && rig.port.held.empty());
            ASSERT_EQ(OpenDrive(driveTable[1]), 1);
            EXPECT_EQ(rig.port.held, std::vector<std::string>{driveTable[1].node});
            EXPECT_TRUE(transport().currentDrive == &driveTable[1] &&
                        driveTable[1].deviceHandle == transport().openDevice);
            EXPECT_EQ(rig.port.reserved, sg ? std::vector<int>{262144 + 4096} : std::vector<int>{});
            const uint32_t limit = queue ? queue : sg ? EmulatedDevicePort::kMaxTransfer : 262144;
            EXPECT_EQ(TransportMaxTransfer(), limit);
            std::string why;
            EXPECT_TRUE(TransportMaySendAnyCommand(why));
            rig.port.mayAny = false;
            EXPECT_FALSE(TransportMaySendAnyCommand(why));
            EXPECT_NE(
                why.find(sg ? "cannot be sent through the SCSI generic node" : "CAP_SYS_RAWIO"),
                std::string::npos);
            ASSERT_EQ(rig.ui.notes.size(), 1u);
            EXPECT_NE(rig.ui.notes[0].find(sg ? "`sudo modprobe sg`"
                                              : "sudo setcap cap_sys_rawio+ep /opt/df/discflash"),
                      std::string::npos)
                << rig.ui.notes[0];
            CloseDrive();
            EXPECT_TRUE(transport().openDevice == -1 && rig.port.closes == 3);
            EXPECT_EQ(TransportMaxTransfer(), 0u);
            EXPECT_FALSE(TransportMaySendAnyCommand(why));
            EXPECT_EQ(why.find("not open read-write") != std::string::npos, sg);
        }
    }
}

// What the kernel refuses, and what is left of it: the record's tail (byte 19 the host status
// through sg), whether the drive counts as gone, and the next command. sr's no-wait command
// without a handle for its worker is not started.
TEST(LinuxOpen, WhatTheKernelRefuses) {
    const TransportChoice sr = TransportChoice::Sr, sg = TransportChoice::Sg;
    struct Case {
        TransportChoice transport;
        KernelPort::Call call;
        int err;
        uint8_t byte19;
        bool gone;
        const char* note;  // the last one's part, if any
    } cases[] = {
        {sr, KernelPort::kSgIo, EINVAL, 0, false, "cannot map, such as a transfer of 4 bytes"},
        {sr, KernelPort::kSgIo, ENODEV, 0, true, "the drive is gone"},
        {sr, KernelPort::kDuplicate, EMFILE, 0, false, nullptr},
        {sg, KernelPort::kSubmit, EINVAL, 0, false, "refused by the kernel"},
        {sg, KernelPort::kSubmit, ENODEV, 0, true, "the drive is gone"},
        {sg, KernelPort::kCollect, EIO, 0x07, false, "refused by the kernel: EIO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(TransportName(c.transport)) + " " + std::to_string(c.err));
        KernelRig rig(c.transport, {"LD4740,disc=1"});
        ASSERT_TRUE(rig.Open());
        rig.port.failing = c.call;
        rig.port.failErr = c.err;
        uint8_t write[12] = {0x3B, 0x05, 0, 0, 0, 0, 0, 0, 4};
        uint8_t data[4] = {1, 2, 3, 4};
        const int workers = PassThroughWorkers();  // other tests' may still be ending
        const int wait = c.call != KernelPort::kDuplicate;
        EXPECT_EQ(ExecCommandEx(wait, XFER_BY_OPCODE, write, data, sizeof data), 0);
        EXPECT_LE(PassThroughWorkers(), workers);
        EXPECT_EQ(rig.port.Drive(0).CountOf(0x3B), c.call == KernelPort::kCollect ? 1 : 0);
        std::vector<uint8_t> tail(8, 0);
        tail[7] = c.byte19;
        EXPECT_EQ(
            std::vector<uint8_t>(lastCommandError.bytes() + 12, lastCommandError.bytes() + 20),
            tail);
        EXPECT_EQ(lastCommandError.cdb[1], 0x05);
        ASSERT_EQ(rig.ui.notes.empty(), !c.note);
        EXPECT_TRUE(!c.note || rig.ui.notes.back().find(c.note) != std::string::npos);
        const int before = rig.port.Drive(0).CountOf(0x00);
        EXPECT_EQ(TestUnitReady(), c.gone ? 0 : 1);
        EXPECT_EQ(rig.port.Drive(0).CountOf(0x00), before + (c.gone ? 0 : 1));
    }
}

// ---- no-wait commands over emulated drives ---------------------------------------------------

bool WorkersEnded() {
    const auto until = Clock::now() + std::chrono::seconds(1);
    while (PassThroughWorkers() > 0 && Clock::now() < until) std::this_thread::yield();
    return PassThroughWorkers() == 0;
}

const uint8_t kStore[12] = {0xF5};

// A no-wait command is polled without waiting and runs until the drive has finished, then stays
// done until the next one; one the drive finishes at once is seen finished after the first sleep
// however the worker is scheduled, a read landing in the caller's buffer. sr's worker, started at
// the sender's lowered priority, sets itself to normal; one that never ends fails with the
// kernel's time-out.
TEST(LinuxNoWait, RunsUntilTheDriveHasFinished) {
    for (TransportChoice t : kBothTransports) {
        SCOPED_TRACE(TransportName(t));
        const bool sr = t == TransportChoice::Sr;
        EmulatedTransport rig(t, {"LDMULTI,store=5,hang=F5@2"});
        RecordingPriority priority;
        rt().priority = &priority;
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), 1);
        while (sr && !rig.session->Port().CallWaiting()) std::this_thread::yield();
        const uint64_t before = rig.clock().ElapsedMs();
        EXPECT_EQ(PollCommand(), 0);
        EXPECT_EQ(rig.clock().ElapsedMs(), before);
        SleepMs(4000);
        EXPECT_EQ(PollCommand() + transport().asyncState, 0);
        SleepMs(1000);
        EXPECT_EQ(PollCommand() + PollCommand(), 2);
        EXPECT_EQ(priority.otherThreads, sr ? 1 : 0);
        for (int round = 0; round < 50; ++round) {
            const uint8_t tur[12] = {};  // no disc: ends with CHECK CONDITION 02/3A/00
            ASSERT_EQ(ExecCommandEx(0, XFER_NONE, tur, nullptr, 0), 1);
            SleepMs(1000);
            ASSERT_EQ(PollCommand(), 2) << "round " << round;
            EXPECT_EQ(lastCommandError.senseKey << 8 | lastCommandError.asc, 0x023A);
        }
        const uint8_t write[12] = {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 4}, data[4] = {1, 2, 3, 4};
        ASSERT_EQ(ExecCommand(write, const_cast<uint8_t*>(data), sizeof data), 1);
        const uint8_t read[12] = {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 8};
        uint8_t buffer[8];
        std::memset(buffer, 0x11, sizeof buffer);
        ASSERT_EQ(ExecCommandEx(0, XFER_IN, read, buffer, sizeof buffer), 1);
        SleepMs(1);
        ASSERT_EQ(PollCommand(), 1);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8),
                  (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 0}));
        if (!sr) continue;
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), 1);  // hangs
        SleepMs(10000);
        EXPECT_EQ(PollCommand(), 0);
        SleepMs(kCommandTimeoutMs);
        EXPECT_EQ(PollCommand(), 2);
    }
}

// The worker may not have reached the port yet when everything is torn down, or be held in it:
// teardown does not wait for it, and it never calls into a port that is gone.
TEST(PassThroughNoWait, TeardownRightAfterTheCommandWaitsForNothing) {
    for (const char* drive : {"LDMULTI", "LDMULTI,hang=F5"}) {
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE(drive);
            auto rig = std::make_unique<EmulatedTransport>(TransportChoice::Sr,
                                                           std::vector<std::string>{drive});
            ASSERT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), 1);
            rig.reset();
        }
    }
    EXPECT_TRUE(WorkersEnded());
}

// sg gives a waiting command up after 180 s with the record's tail all 0xFF, and drops a no-wait
// one still running when the next command comes, which then runs at once. The late reply of
// either is never taken for a later command's.
TEST(AspiExecute, WhatStillRunsIsGivenUpAndHarmsNothing) {
    EmulatedTransport rig(TransportChoice::Sg, {"LDMULTI,store=200"});
    TraceCapture capture;
    for (int wait : {1, 0}) {
        SCOPED_TRACE(wait);
        const uint64_t before = rig.clock().ElapsedMs();
        EXPECT_EQ(ExecCommandEx(wait, XFER_NONE, kStore, nullptr, 0), 1 - wait);
        if (wait) {
            EXPECT_EQ((rig.clock().ElapsedMs() - before) / 1000, 180u);
            EXPECT_EQ(
                std::vector<uint8_t>(lastCommandError.bytes() + 12, lastCommandError.bytes() + 20),
                std::vector<uint8_t>(8, 0xFF));
        } else {
            EXPECT_EQ(PollCommand(), 0);
            EXPECT_EQ(TestUnitReady(), 0);
            EXPECT_EQ(lastCommandError.asc, 0x04);  // still storing
            EXPECT_LT(rig.clock().ElapsedMs() - before, 10u);
        }
        SleepMs(250000);  // its reply is due by now
        const uint8_t inquiry[12] = {0x12, 0, 0, 0, 36, 0};
        uint8_t fresh[36] = {};
        EXPECT_EQ(ExecCommand(inquiry, fresh, sizeof fresh), 1);
        EXPECT_EQ(fresh[0], 5);
    }
    EXPECT_EQ(capture.Events("cmd-abandoned").size(), 1u);
}

// A no-wait read hangs and the caller gives up after its waits: closing, opening and commanding
// the drive again, and tearing everything down, take no real time on either transport. The
// kernel's late time-out of the given-up command reaches nothing the program uses: the worker
// keeps its own handle and copy of the buffer.
TEST(EmulatedTransport, AGivenUpCommandHoldsNothingUp) {
    const auto start = Clock::now();
    for (TransportChoice choice : kBothTransports) {
        for (bool lateEnd : {true, false}) {
            SCOPED_TRACE(std::string(TransportName(choice)) + (lateEnd ? " ends late" : " held"));
            auto rig = std::make_unique<EmulatedTransport>(
                choice, std::vector<std::string>{"LD4740,hang=3C"});
            uint8_t read[12] = {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 16}, buffer[16];
            std::memset(buffer, 0x11, sizeof buffer);
            ASSERT_EQ(ExecCommandEx(0, XFER_IN, read, buffer, sizeof buffer), 1);
            for (int s = 0; s < 130; ++s) {  // the settling time and ten seconds more
                SleepMs(1000);
                ASSERT_EQ(PollCommand(), 0) << s;
            }
            CloseDrive();
            EXPECT_EQ(PollCommand(), 2);
            ASSERT_EQ(OpenDrive(driveTable[0]), 1);
            const uint64_t before = rig->clock().ElapsedMs();
            EXPECT_EQ(TestUnitReady(), 0);  // no disc
            EXPECT_EQ(lastCommandError.asc, 0x3A);
            EXPECT_LT(rig->clock().ElapsedMs() - before, 10u);
            if (lateEnd) {
                SleepMs(kCommandTimeoutMs);
                EXPECT_TRUE(WorkersEnded());
                EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 16),
                          std::vector<uint8_t>(16, 0x11));
                EXPECT_EQ(PollCommand(), 2);
                EXPECT_EQ(lastCommandError.cdb[0] << 16 | lastCommandError.senseKey << 8 |
                              lastCommandError.asc,
                          0x0023A);
            }
            rig.reset();
        }
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
