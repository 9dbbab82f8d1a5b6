// The TCMU ring server over a ring laid out in memory the way the kernel lays it out: what the
// drive receives, what goes back into the entries, and how it copes with entries it cannot use.
#include "tools/emu-tcmu/tcmu_ring.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "tools/emu-tcmu/tcmu_abi.h"

namespace {

// The kernel's side of a ring: queues entries at the head as target_core_user does (the CDB in
// the kernel's length for its opcode, data buffers in the data area after the ring).
class KernelSide {
  public:
    static constexpr uint32_t kRingOffset = 128, kRingSize = 4096;
    static constexpr size_t kDataOffset = 8192, kAreaSize = 1 << 20;

    // The features the kernel announces in the mailbox: answers out of order, read lengths.
    explicit KernelSide(bool outOfOrder = true, bool readLength = true) : area_(kAreaSize, 0) {
        Put<uint16_t>(kTcmu.versionAt, kTcmu.mailboxVersion);
        Put<uint16_t>(kTcmu.flagsAt, static_cast<uint16_t>((outOfOrder ? kTcmu.capOutOfOrder : 0) |
                                                           (readLength ? kTcmu.capReadLength : 0)));
        Put<uint32_t>(kTcmu.ringOffsetAt, kRingOffset);
        Put<uint32_t>(kTcmu.ringSizeAt, kRingSize);
    }

    uint8_t* Area() { return area_.data(); }
    uint32_t Head() const { return Get<uint32_t>(kTcmu.headAt); }
    uint32_t Tail() const { return Get<uint32_t>(kTcmu.tailAt); }

    // Queues a command with its data in buffers of these lengths; `out` fills them in order.
    // Returns the entry's offset in the area.
    size_t Queue(std::vector<uint8_t> cdb, std::vector<size_t> buffers,
                 const std::vector<uint8_t>& out = {}) {
        cdb.resize(16, 0);
        size_t base = std::max(kTcmu.iovsAt + buffers.size() * kTcmu.iovSize, kTcmu.entrySize);
        size_t length = Round8(base + LioCdbLength(cdb[0]));
        if (Head() + length > kRingSize) Pad(kRingSize - Head());
        size_t at = kRingOffset + Head();
        std::memset(area_.data() + at, 0, length);
        Put<uint32_t>(at, static_cast<uint32_t>(length) | kTcmu.opCmd);
        Put<uint16_t>(at + kTcmu.cmdIdAt, ++id_);
        Put<uint32_t>(at + kTcmu.iovCountAt, static_cast<uint32_t>(buffers.size()));
        size_t copied = 0;
        for (size_t i = 0; i < buffers.size(); ++i) {
            size_t iov = at + kTcmu.iovsAt + i * kTcmu.iovSize;
            Put<uint64_t>(iov + kTcmu.iovBaseAt, next_);
            Put<uint64_t>(iov + kTcmu.iovLengthAt, buffers[i]);
            size_t n = std::min(buffers[i], out.size() - std::min(out.size(), copied));
            if (n) std::memcpy(area_.data() + next_, out.data() + copied, n);
            copied += n;
            next_ += buffers[i] + 64;  // not adjacent: the spans are kept apart
        }
        size_t cdbOff = at + base;
        Put<uint64_t>(at + kTcmu.cdbOffsetAt, cdbOff);
        std::memcpy(area_.data() + cdbOff, cdb.data(), LioCdbLength(cdb[0]));
        SetHead(static_cast<uint32_t>((Head() + length) % kRingSize));
        return at;
    }

    void Pad(size_t length) {
        Put<uint32_t>(kRingOffset + Head(), static_cast<uint32_t>(length) | kTcmu.opPad);
        SetHead(static_cast<uint32_t>((Head() + length) % kRingSize));
    }

    // The answer in an entry, and the command it answers.
    uint16_t Id(size_t at) const { return Get<uint16_t>(at + kTcmu.cmdIdAt); }
    uint8_t Status(size_t at) const { return area_[at + kTcmu.statusAt]; }
    const uint8_t* Sense(size_t at) const { return area_.data() + at + kTcmu.senseAt; }
    bool ReadLengthGiven(size_t at) const {
        return area_[at + kTcmu.uflagsAt] & kTcmu.uflagReadLength;
    }
    uint32_t ReadLength(size_t at) const { return Get<uint32_t>(at + kTcmu.readLengthAt); }
    // Where the kernel would place a new iovec's data.
    void SetIov(size_t at, size_t index, uint64_t base, uint64_t length) {
        size_t iov = at + kTcmu.iovsAt + index * kTcmu.iovSize;
        Put<uint64_t>(iov + kTcmu.iovBaseAt, base);
        Put<uint64_t>(iov + kTcmu.iovLengthAt, length);
    }
    void SetMailbox(uint16_t version, uint32_t ringSize) {
        Put<uint16_t>(kTcmu.versionAt, version);
        Put<uint32_t>(kTcmu.ringSizeAt, ringSize);
    }

    // The bytes of the data area a command's buffers started at (recorded by Queue).
    std::vector<uint8_t> Data(size_t offset, size_t n) const {
        return {area_.begin() + static_cast<ptrdiff_t>(offset),
                area_.begin() + static_cast<ptrdiff_t>(offset + n)};
    }
    size_t NextData() const { return next_; }

  private:
    static size_t Round8(size_t n) { return (n + 7) & ~size_t{7}; }
    template <typename T>
    T Get(size_t offset) const {
        T v;
        std::memcpy(&v, area_.data() + offset, sizeof v);
        return v;
    }
    template <typename T>
    void Put(size_t offset, T v) {
        std::memcpy(area_.data() + offset, &v, sizeof v);
    }
    void SetHead(uint32_t v) { Put<uint32_t>(kTcmu.headAt, v); }

    std::vector<uint8_t> area_;
    size_t next_ = kDataOffset;
    uint16_t id_ = 0;
};

EmulatedDriveSpec Spec(const std::string& option) {
    EmulatedDriveSpec s;
    std::string why;
    EXPECT_TRUE(ParseEmulateOption(option, s, why)) << why;
    return s;
}

struct Served {
    std::vector<ServedCommand> log;
    std::function<void(const ServedCommand&)> Recorder() {
        return [this](const ServedCommand& c) { log.push_back(c); };
    }
};

TEST(TcmuRing, AnswersGoBackIntoTheEntries) {
    struct Case {
        const char* name;
        const char* drive;
        std::vector<uint8_t> cdb;  // as the host sent it
        std::vector<size_t> buffers;
        uint8_t status;
        uint8_t key, asc, ascq;
        size_t received;  // CDB bytes the drive got
        size_t given;     // bytes the drive gave back
    };
    // clang-format off
    const Case cases[] = {
        {"no disc", "LD4740", {0x00, 0, 0, 0, 0, 0}, {}, 0x02, 0x02, 0x3A, 0x00, 6, 0},
        {"inquiry into a large buffer", "LD4740", {0x12, 0, 0, 0, 36, 0}, {4096, 61440},
         0x00, 0, 0, 0, 6, 36},
        // LIO's length for the vendor group: bytes 10 and 11 never reach the drive.
        {"vendor opcode", "LD3521,tag=5A01", {0xCF, 0, 0, 0, 0, 0x60, 2, 0, 2, 0, 0, 0}, {2},
         0x00, 0, 0, 0, 10, 2},
        {"read buffer", "LDMULTI", {0x3C, 1, 1, 0, 0, 0, 0, 0x08, 0, 0, 0, 0}, {1024, 1024},
         0x00, 0, 0, 0, 10, 2048},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KernelSide kernel;
        EmulatedDrive drive(Spec(c.drive));
        size_t data = kernel.NextData();
        size_t at = kernel.Queue(c.cdb, c.buffers);
        TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
        Served served;
        EXPECT_EQ(ring.Serve(drive, 0, served.Recorder()), 1);
        EXPECT_EQ(kernel.Tail(), kernel.Head());
        EXPECT_EQ(kernel.Status(at), c.status);
        const uint8_t* sense = kernel.Sense(at);
        if (c.status == 0x02) {
            EXPECT_EQ(sense[0], 0x70);
            EXPECT_EQ(sense[2], c.key);
            EXPECT_EQ(sense[12], c.asc);
            EXPECT_EQ(sense[13], c.ascq);
        }
        std::vector<LoggedCommand> log = drive.Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].cdb, std::vector<uint8_t>(c.cdb.begin(), c.cdb.begin() + c.received));
        ASSERT_EQ(served.log.size(), 1u);
        EXPECT_EQ(served.log[0].moved, c.given);
        bool in = PhaseFor(c.cdb[0]) == DataPhase::In;
        EXPECT_EQ(kernel.ReadLengthGiven(at), in);
        if (in) {
            EXPECT_EQ(kernel.ReadLength(at), c.given);
        }
        if (c.cdb[0] == 0xCF) {
            EXPECT_EQ(kernel.Data(data, 2), (std::vector<uint8_t>{0x5A, 0x01}));
        }
        if (c.cdb[0] == 0x12) {
            std::vector<uint8_t> inquiry = drive.InquiryData();
            EXPECT_EQ(kernel.Data(data, 36),
                      std::vector<uint8_t>(inquiry.begin(), inquiry.begin() + 36));
            EXPECT_EQ(kernel.Data(data + 36, 4), std::vector<uint8_t>(4, 0));  // left alone
        }
    }
}

TEST(TcmuRing, DataCrossesBufferBoundariesBothWays) {
    KernelSide kernel;
    EmulatedDrive drive(Spec("LDMULTI"));
    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    // WRITE BUFFER of 5000 bytes at offset 0x100 in three buffers, then READ BUFFER in two.
    kernel.Queue({0x3B, 0x02, 0, 0, 0x01, 0x00, 0x00, 0x13, 0x88, 0}, {4096, 512, 392}, image);
    size_t back = kernel.NextData();
    size_t at = kernel.Queue({0x3C, 0x02, 0, 0, 0x01, 0x00, 0x00, 0x13, 0x88, 0}, {3000, 2000});
    TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
    Served served;
    EXPECT_EQ(ring.Serve(drive, 0, served.Recorder()), 2);
    EXPECT_EQ(drive.BufferBytes(0x100, image.size()), image);
    EXPECT_EQ(served.log[0].moved, 5000u);
    EXPECT_EQ(kernel.Status(at), 0);
    std::vector<uint8_t> got = kernel.Data(back, 3000);
    std::vector<uint8_t> second = kernel.Data(back + 3000 + 64, 2000);
    got.insert(got.end(), second.begin(), second.end());
    EXPECT_EQ(got, image);
}

TEST(TcmuRing, WrapsAtTheEndOfTheRingAndSkipsPads) {
    KernelSide kernel;
    EmulatedDrive drive(Spec("LD4740,disc=1"));
    TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
    Served served;
    int answered = 0;
    // Enough commands to go round the ring several times; the kernel pads where one will not fit.
    for (int i = 0; i < 200; ++i) {
        size_t at = kernel.Queue({0x00, 0, 0, 0, 0, 0}, {});
        answered += ring.Serve(drive, 0, served.Recorder());
        EXPECT_EQ(kernel.Status(at), 0);
    }
    EXPECT_EQ(answered, 200);
    EXPECT_EQ(kernel.Tail(), kernel.Head());
    EXPECT_EQ(drive.CountOf(0x00), 200);
}

TEST(TcmuRing, EntryPointingOutsideTheAreaIsAnsweredNotRun) {
    KernelSide kernel;
    EmulatedDrive drive(Spec("LDMULTI"));
    size_t at = kernel.Queue({0x3C, 0x02, 0, 0, 0, 0, 0, 0, 16, 0}, {16});
    kernel.SetIov(at, 0, KernelSide::kAreaSize - 8, 16);
    TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
    Served served;
    EXPECT_EQ(ring.Serve(drive, 0, served.Recorder()), 1);
    EXPECT_EQ(kernel.Status(at), 0x02);
    EXPECT_EQ(kernel.Sense(at)[2], 0x04);
    EXPECT_EQ(kernel.Sense(at)[12], 0x44);
    EXPECT_TRUE(drive.Log().empty());
    EXPECT_TRUE(served.log[0].broken);
    EXPECT_EQ(kernel.Tail(), kernel.Head());
}

// A drive busy with a command, or hung on one: where the kernel takes answers out of order the
// others are answered in the entries before, else they wait their turn.
TEST(TcmuRing, HeldAnswersAndTheOthers) {
    const std::vector<uint8_t> store = {0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> tur = {0x00, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        const char* drive;
        bool outOfOrder;
        int answeredAt0, answeredAt3000;
        uint8_t turSense;  // ASC of the TEST UNIT READY behind it
    };
    const Case cases[] = {
        // The store runs 3 s; a TEST UNIT READY meanwhile finds the drive becoming ready.
        {"busy, out of order", "LDMULTI,store=3", true, 1, 1, 0x04},
        {"busy, in order", "LDMULTI,store=3", false, 0, 2, 0x04},
        {"hung, out of order", "LDMULTI,hang=F5", true, 1, 0, 0x3A},
        {"hung, in order", "LDMULTI,hang=F5", false, 0, 0, 0x3A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KernelSide kernel(c.outOfOrder);
        EmulatedDrive drive(Spec(c.drive));
        TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
        size_t first = kernel.Queue(store, {});
        size_t second = kernel.Queue(tur, {});
        EXPECT_EQ(ring.Serve(drive, 0, nullptr), c.answeredAt0);
        if (c.answeredAt0 == 1) {
            // The first entry carries the second command's answer.
            EXPECT_EQ(kernel.Id(first), 2);
            EXPECT_EQ(kernel.Sense(first)[12], c.turSense);
            EXPECT_EQ(kernel.Tail(), second - KernelSide::kRingOffset);
        } else {
            EXPECT_EQ(kernel.Tail(), 0u);
        }
        EXPECT_EQ(ring.NextDue(), c.answeredAt3000 ? std::optional<uint64_t>(3000) : std::nullopt);
        EXPECT_EQ(ring.Serve(drive, 2999, nullptr), 0);
        EXPECT_EQ(ring.Serve(drive, 3000, nullptr), c.answeredAt3000);
        if (c.answeredAt3000) {
            EXPECT_EQ(kernel.Tail(), kernel.Head());
            EXPECT_EQ(kernel.Id(c.outOfOrder ? second : first), 1);
            EXPECT_EQ(kernel.Status(c.outOfOrder ? second : first), 0);
        }
        EXPECT_EQ(drive.CountOf(0x00), 1) << "run as it came, whatever waits";
    }
}

TEST(TcmuRing, ReadLengthOnlyWhereTheKernelTakesIt) {
    KernelSide kernel(true, false);
    EmulatedDrive drive(Spec("LD4740"));
    size_t at = kernel.Queue({0x12, 0, 0, 0, 36, 0}, {4096});
    TcmuRing ring(kernel.Area(), KernelSide::kAreaSize);
    EXPECT_EQ(ring.Serve(drive, 0, nullptr), 1);
    EXPECT_FALSE(kernel.ReadLengthGiven(at));
}

TEST(TcmuRing, MailboxIsChecked) {
    struct Case {
        const char* name;
        uint16_t version;
        uint32_t ringSize;
        bool valid;
    } cases[] = {{"as the kernel sets it up", kTcmu.mailboxVersion, KernelSide::kRingSize, true},
                 {"another version", static_cast<uint16_t>(kTcmu.mailboxVersion + 1),
                  KernelSide::kRingSize, false},
                 {"ring past the area", kTcmu.mailboxVersion, KernelSide::kAreaSize, false}};
    for (const Case& c : cases) {
        KernelSide kernel;
        kernel.SetMailbox(c.version, c.ringSize);
        std::string why;
        EXPECT_EQ(TcmuRing(kernel.Area(), KernelSide::kAreaSize).Valid(why), c.valid) << c.name;
        EXPECT_EQ(why.empty(), c.valid) << c.name;
    }
}

}  // namespace
