#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "emu/emulated_drive.h"
#include "support/test_env.h"
#include "system/clocks.h"

namespace {

// ---- option parsing -----------------------------------------------------------------------------

struct GoodOption {
    const char* value;
    const char* id;
    std::string identity;
    int type;
    bool disc, loader;
    size_t faults;
};

TEST(EmulateOption, AcceptsWellFormedValues) {
    const GoodOption cases[] = {
        {"LD4740", "LD4740", "", 5, false, false, 0},
        {"ld4740,disc=1,loader=1", "LD4740", "", 5, true, true, 0},
        {"LdMulti,type=0x1f,disc=0", "LDMULTI", "", 0x1F, false, false, 0},
        {"LD4630,type=255", "LD4630", "", 255, false, false, 0},
        {"LD3410,identity=HALVERONCD-RW  KR-3410X", "LD3410", "HALVERONCD-RW  KR-3410X ", 5, false,
         false, 0},
        {"LD5850,identity=", "LD5850", "                        ", 5, false, false, 0},
        {"LD5850,identity=ABCDEFGHIJKLMNOPQRSTUVWX", "LD5850", "ABCDEFGHIJKLMNOPQRSTUVWX", 5, false,
         false, 0},
        {"LD5850,identity=HALVERON\\xff\\x00\\x5C\\x2c\\x7FCD", "LD5850",
         std::string("HALVERON\xff\0\\,\x7f"
                     "CD",
                     15) +
             std::string(9, ' '),
         5, false, false, 0},
        {"LD5871,fail=3b@2:05/24/00,hang=CC,fail=0x12:2/3a/0", "LD5871", "", 5, false, false, 3},
    };
    for (const GoodOption& c : cases) {
        SCOPED_TRACE(c.value);
        EmulatedDriveSpec spec;
        std::string error;
        ASSERT_TRUE(ParseEmulateOption(c.value, spec, error)) << error;
        EXPECT_EQ(spec.programId, c.id);
        EXPECT_EQ(spec.identity, c.identity);
        EXPECT_EQ(spec.type, c.type);
        EXPECT_EQ(spec.disc, c.disc);
        EXPECT_EQ(spec.loader, c.loader);
        EXPECT_EQ(spec.faults.size(), c.faults);
    }
    // The revisions take any byte too.
    EmulatedDriveSpec spec;
    std::string error;
    ASSERT_TRUE(
        ParseEmulateOption("LD4740,revision=\\xE9\\x7F1,loader-revision=0.\\x01", spec, error))
        << error;
    EXPECT_EQ(spec.revision,
              "\xe9\x7f"
              "1");
    EXPECT_EQ(spec.loaderRevision, "0.\x01");
}

TEST(EmulateOption, FaultRulesKeepOpcodeCountAndSense) {
    EmulatedDriveSpec spec;
    std::string error;
    ASSERT_TRUE(
        ParseEmulateOption("LD5871,fail=3b@12:05/24/00,hang=cC@3,fail=0x12:2/3a/0", spec, error))
        << error;
    ASSERT_EQ(spec.faults.size(), 3u);
    const FaultRule& a = spec.faults[0];
    EXPECT_EQ(a.opcode, 0x3B);
    EXPECT_EQ(a.nth, 12);
    EXPECT_FALSE(a.hang);
    EXPECT_EQ(a.senseKey, 0x05);
    EXPECT_EQ(a.asc, 0x24);
    EXPECT_EQ(a.ascq, 0x00);
    EXPECT_EQ(spec.faults[1].opcode, 0xCC);
    EXPECT_EQ(spec.faults[1].nth, 3);
    EXPECT_TRUE(spec.faults[1].hang);
    EXPECT_EQ(spec.faults[2].opcode, 0x12);
    EXPECT_EQ(spec.faults[2].nth, 1);
    EXPECT_EQ(spec.faults[2].senseKey, 0x02);
    EXPECT_EQ(spec.faults[2].asc, 0x3A);
}

TEST(EmulateOption, RefusesMalformedValuesWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "needs a program identifier"},
        {",disc=1", "needs a program identifier"},
        {"LD9999", "unknown program identifier \"LD9999\""},
        {"LD47400", "unknown program identifier"},
        {"HLVDOWNLOAD", "unknown program identifier"},
        {"LD4740,foo=1", "unknown key \"foo\""},
        {"LD4740,disc", "\"disc\" is not key=value"},
        {"LD4740,", "\"\" is not key=value"},
        {"LD4740,disc=2", "disc=2: expected 1 or 0"},
        {"LD4740,loader=yes", "expected 1 or 0"},
        {"LD4740,poll=on", "poll=on: expected 1 or 0"},
        {"LD4740,type=256", "type=256: expected a number from 0 to 255"},
        {"LD4740,type=-1", "expected a number"},
        {"LD4740,type=0x1G", "expected a number"},
        {"LD4740,type=", "expected a number"},
        {"LD4740,identity=ABCDEFGHIJKLMNOPQRSTUVWXY", "expected 0 to 24 bytes, not 25"},
        {"LD4740,identity=A\tB", "printable"},
        {"LD4740,identity=A\\xG0", "a backslash starts a byte written \\xNN"},
        {"LD4740,identity=A\\x4", "a backslash starts"},
        {"LD4740,identity=A\\B", "a backslash starts"},
        {"LD4740,revision=", "expected 1 to 4 bytes, not 0"},
        {"LD4740,revision=1.\\x0000", "expected 1 to 4 bytes, not 5"},
        {"LD4740,fail=3G:05/24/00", "\"3G\" is not a hexadecimal opcode"},
        {"LD4740,fail=13b:05/24/00", "not a hexadecimal opcode"},
        {"LD4740,fail=3b@0:05/24/00", "\"0\" is not a command count"},
        {"LD4740,fail=3b@x:05/24/00", "\"x\" is not a command count"},
        {"LD4740,fail=3b", "expected OP[@N]:KK/AA/QQ"},
        {"LD4740,fail=3b:05/24", "\"05/24\" is not a sense KK/AA/QQ"},
        {"LD4740,fail=3b:05/24/100", "is not a sense"},
        {"LD4740,fail=3b:05/24/00/1", "is not a sense"},
        {"LD4740,fail=3b:05//00", "is not a sense"},
        {"LD4740,hang=", "\"\" is not a hexadecimal opcode"},
        {"LD4740,hang=12@", "is not a command count"},
        {"LDMULTI,loader=1", "LDMULTI drives have no loader"},
        {"LD4740,disc=1,disc=0", "disc is given twice"},
        {"LD4740,vanish=3G", "\"3G\" is not a hexadecimal opcode"},
        {"LD4740,vanish=12,vanish=3b", "vanish is given twice"},
        {"LD4740,busy=0", "busy=0: expected the open from which on it is busy"},
        {"LD4740,busy=x", "busy=x: expected"},
    };
    for (const auto& [value, reason] : cases) {
        SCOPED_TRACE(value);
        EmulatedDriveSpec spec;
        spec.programId = "UNTOUCHED";
        std::string error;
        EXPECT_FALSE(ParseEmulateOption(value, spec, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_EQ(spec.programId, "UNTOUCHED");
    }
}

TEST(EmulateOption, SeveralDrivesAtMostSeven) {
    std::vector<EmulatedDriveSpec> specs;
    std::string error;
    ASSERT_TRUE(ParseEmulateOptions({"LD4740,disc=1", "ldmulti"}, specs, error)) << error;
    ASSERT_EQ(specs.size(), 2u);
    EXPECT_EQ(specs[0].programId, "LD4740");
    EXPECT_TRUE(specs[0].disc);
    EXPECT_EQ(specs[1].programId, "LDMULTI");

    std::vector<std::string> eight(8, "LD4740");
    EXPECT_FALSE(ParseEmulateOptions(eight, specs, error));
    EXPECT_NE(error.find("at most 7"), std::string::npos);
    EXPECT_TRUE(ParseEmulateOptions(std::vector<std::string>(7, "LD4740"), specs, error));
    EXPECT_EQ(specs.size(), 7u);

    EXPECT_FALSE(ParseEmulateOptions({"LD4740", "LD4740,disc=3"}, specs, error));
    EXPECT_EQ(error, "--emulate=LD4740,disc=3: disc=3: expected 1 or 0");
}

// ---- commands at the device port ----------------------------------------------------------------

enum class Path { Sr, Sg };

struct Outcome {
    bool async = false;
    int rc = 0;
    int err = 0;
    sg_io_hdr_t hdr{};
    std::vector<uint8_t> data;
    uint8_t sense[32];
    uint8_t SenseKey() const { return sense[2]; }
    std::string Sense() const {
        char s[16];
        std::snprintf(s, sizeof s, "%02x/%02x/%02x", sense[2], sense[12], sense[13]);
        return s;
    }
};

sg_io_hdr_t MakeHdr(std::vector<uint8_t>& cdb, int direction, std::vector<uint8_t>& data,
                    uint8_t* sense, unsigned char mxSb) {
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmdp = cdb.data();
    h.cmd_len = static_cast<unsigned char>(cdb.size());
    h.dxfer_direction = direction;
    h.dxferp = data.empty() ? nullptr : data.data();
    h.dxfer_len = static_cast<unsigned>(data.size());
    h.sbp = sense;
    h.mx_sb_len = mxSb;
    h.timeout = 20000;
    return h;
}

// Sends one command through the path's node of drive `index` and collects its reply. `data` is
// the data out, or a buffer of the size to take in.
Outcome Send(EmulatedDevicePort& port, Path path, int handle, std::vector<uint8_t> cdb,
             int direction = SG_DXFER_NONE, std::vector<uint8_t> data = {},
             unsigned char mxSb = 32) {
    Outcome o;
    std::memset(o.sense, 0xEE, sizeof o.sense);
    o.data = std::move(data);
    sg_io_hdr_t h = MakeHdr(cdb, direction, o.data, o.sense, mxSb);
    if (path == Path::Sr) {
        o.rc = port.SgIo(handle, h, o.err);
        o.hdr = h;
    } else {
        o.async = true;
        h.pack_id = 77;
        o.rc = port.Submit(handle, h, o.err);
        if (o.rc == 0) {
            sg_io_hdr_t reply{};
            o.rc = port.Collect(handle, reply, 0, o.err);
            o.hdr = reply;
        }
    }
    return o;
}

std::vector<uint8_t> Inquiry(uint8_t allocation = 36) {
    return {0x12, 0, 0, 0, allocation, 0};
}
std::vector<uint8_t> Tur() {
    return {0x00, 0, 0, 0, 0, 0};
}
std::vector<uint8_t> BufferCdb(uint8_t op, uint32_t offset, uint32_t length) {
    std::vector<uint8_t> c = {op, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        c[3 + i] = static_cast<uint8_t>(offset >> (16 - 8 * i));
        c[6 + i] = static_cast<uint8_t>(length >> (16 - 8 * i));
    }
    return c;
}
std::vector<uint8_t> SwitchCdb() {
    return {0xCC, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0};
}

EmulatedDriveSpec Spec(const std::string& option) {
    EmulatedDriveSpec spec;
    std::string error;
    EXPECT_TRUE(ParseEmulateOption(option, spec, error)) << error;
    return spec;
}

// One drive behind a port, opened through the path's node.
struct Rig {
    VirtualClock clock;
    EmulatedDevicePort port;
    Path path;
    int handle;
    Rig(const std::string& option, Path p) : port({Spec(option)}, clock), path(p), handle(-1) {
        int err = 0;
        handle = port.Open(p == Path::Sr ? "emu:sr0" : "emu:sg0", err);
        EXPECT_GE(handle, 0);
    }
    Outcome Send(std::vector<uint8_t> cdb, int direction = SG_DXFER_NONE,
                 std::vector<uint8_t> data = {}, unsigned char mxSb = 32) {
        return ::Send(port, path, handle, std::move(cdb), direction, std::move(data), mxSb);
    }
    EmulatedDrive& drive() { return port.Drive(0); }
};

class EmuPaths : public ::testing::TestWithParam<Path> {};
INSTANTIATE_TEST_SUITE_P(BothPaths, EmuPaths, ::testing::Values(Path::Sr, Path::Sg),
                         [](const auto& info) {
                             return std::string(info.param == Path::Sr ? "Sr" : "Sg");
                         });

void ExpectGood(const Outcome& o) {
    EXPECT_EQ(o.rc, o.async ? 1 : 0);
    EXPECT_EQ(o.hdr.status, 0);
    EXPECT_EQ(o.hdr.host_status, 0);
    EXPECT_EQ(o.hdr.driver_status, 0);
    EXPECT_EQ(o.hdr.info & SG_INFO_OK_MASK, SG_INFO_OK);
    EXPECT_EQ(o.hdr.sb_len_wr, 0);
}

void ExpectCheck(const Outcome& o, const char* sense) {
    EXPECT_EQ(o.rc, o.async ? 1 : 0);
    EXPECT_EQ(o.hdr.status, 0x02);
    EXPECT_EQ(o.hdr.masked_status, 0x01);  // CHECK CONDITION >> 1
    EXPECT_EQ(o.hdr.host_status, 0);
    EXPECT_EQ(o.hdr.driver_status, 0x08);  // sense is valid
    EXPECT_EQ(o.hdr.info & SG_INFO_OK_MASK, SG_INFO_CHECK);
    EXPECT_EQ(o.hdr.sb_len_wr, 18);
    EXPECT_EQ(o.sense[0], 0x70);
    EXPECT_EQ(o.sense[7], 10);
    EXPECT_EQ(o.Sense(), sense);
}

struct InquiryCase {
    const char* option;
    const char* identity;
    const char* revision;
    uint8_t type;
};

TEST_P(EmuPaths, InquiryReportsTheRunningProgram) {
    const InquiryCase cases[] = {
        {"LD4740", "HALVERONCD-RW  KR-4740  ", "1.00", 5},
        {"LD4740,loader=1", "HALVERONCD-RW  KR-4740P ", "0.10", 5},
        {"LD4630,loader=1", "HALVERONCD-RW   KR-4630P", "0.10", 5},
        {"LD5871", "HALVERONDVD-ROM VD-5871 ", "1.00", 5},
        {"LD5871,loader=1", "HALVERON VD5870 DOWNLOAD", "0.10", 5},
        {"LDMULTI", "HALVERONDVD-RAM VR-6910N", "1.00", 5},
        {"LD4740,identity=TORVIK  CD-RW  KR-3410", "TORVIK  CD-RW  KR-3410  ", "1.00", 5},
        // identity= names the main program; the loader keeps its own
        {"LD4740,identity=TORVIK,loader=1", "HALVERONCD-RW  KR-4740P ", "0.10", 5},
        {"LD3410,type=0x1f", "HALVERONCD-RW  KR-3410  ", "1.00", 0x1F},
    };
    for (const InquiryCase& c : cases) {
        SCOPED_TRACE(c.option);
        Rig rig(c.option, GetParam());
        Outcome o = rig.Send(Inquiry(), SG_DXFER_FROM_DEV, std::vector<uint8_t>(96, 0xAA));
        ExpectGood(o);
        EXPECT_EQ(o.hdr.resid, 96 - 36);
        EXPECT_EQ(o.data[0], c.type);
        EXPECT_EQ(o.data[1], 0x80);
        EXPECT_EQ(o.data[2], 0x05);
        EXPECT_EQ(o.data[3], 0x02);
        EXPECT_EQ(o.data[4], 51);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&o.data[8]), 24), c.identity);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&o.data[32]), 4), c.revision);
        EXPECT_EQ(o.data[36], 0xAA) << "nothing past the allocation length";
    }
}

TEST_P(EmuPaths, InquiryStopsAtTheSmallerOfAllocationAndBuffer) {
    Rig rig("LD4740", GetParam());
    const std::tuple<uint8_t, size_t, size_t> cases[] = {// allocation, host buffer, bytes delivered
                                                         {36, 36, 36},
                                                         {5, 36, 5},
                                                         {96, 40, 40},
                                                         {96, 128, 56},
                                                         {0, 36, 0}};
    for (const auto& [allocation, host, delivered] : cases) {
        SCOPED_TRACE(testing::Message() << int(allocation) << " " << host);
        Outcome o =
            rig.Send(Inquiry(allocation), SG_DXFER_FROM_DEV, std::vector<uint8_t>(host, 0xAA));
        ExpectGood(o);
        EXPECT_EQ(o.hdr.resid, static_cast<int>(host - delivered));
        std::vector<uint8_t> full = rig.drive().InquiryData();
        EXPECT_TRUE(
            std::equal(full.begin(), full.begin() + static_cast<long>(delivered), o.data.begin()));
        if (host > delivered) {
            EXPECT_EQ(o.data[delivered], 0xAA);
        }
    }
    Outcome vpd =
        rig.Send({0x12, 0x01, 0x80, 0, 36, 0}, SG_DXFER_FROM_DEV, std::vector<uint8_t>(36));
    ExpectCheck(vpd, "05/24/00");
}

TEST_P(EmuPaths, TestUnitReadyFollowsTheMedium) {
    Rig without("LD4740", GetParam());
    ExpectCheck(without.Send(Tur()), "02/3a/00");
    Rig with("LD4740,disc=1", GetParam());
    ExpectGood(with.Send(Tur()));
    with.drive().SetDisc(false);
    ExpectCheck(with.Send(Tur()), "02/3a/00");
}

TEST_P(EmuPaths, SenseIsCutToTheHostsSenseBuffer) {
    Rig rig("LD4740", GetParam());
    Outcome o = rig.Send(Tur(), SG_DXFER_NONE, {}, 8);
    EXPECT_EQ(o.hdr.status, 0x02);
    EXPECT_EQ(o.hdr.sb_len_wr, 8);
    EXPECT_EQ(o.sense[2], 0x02);
    EXPECT_EQ(o.sense[8], 0xEE);
    Outcome none = rig.Send(Tur(), SG_DXFER_NONE, {}, 0);
    EXPECT_EQ(none.hdr.status, 0x02);
    EXPECT_EQ(none.hdr.sb_len_wr, 0);
    EXPECT_EQ(none.sense[0], 0xEE);
}

std::vector<uint8_t> IdentityBytes(EmulatedDrive& d) {
    std::vector<uint8_t> q = d.InquiryData();
    return std::vector<uint8_t>(q.begin() + 8, q.begin() + 36);
}

TEST_P(EmuPaths, SwitchCommandMovesBetweenMainProgramAndLoader) {
    Rig rig("LD5850", GetParam());
    std::vector<uint8_t> mainBytes = IdentityBytes(rig.drive());
    ExpectGood(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, mainBytes));
    EXPECT_TRUE(rig.drive().InLoader());
    EXPECT_EQ(rig.drive().Identity(), "HALVERON LQ10A4 DOWNLOAD");

    // The loader wants its own identity: the main program's bytes are refused.
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, mainBytes), "05/26/00");
    EXPECT_TRUE(rig.drive().InLoader());
    std::vector<uint8_t> loaderBytes = IdentityBytes(rig.drive());
    std::vector<uint8_t> shorter(loaderBytes.begin(), loaderBytes.end() - 1);
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, shorter), "05/26/00");
    std::vector<uint8_t> revisionChanged = loaderBytes;
    revisionChanged[27] ^= 1;
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, revisionChanged), "05/26/00");
    // Data that never left the host does not count.
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_FROM_DEV, loaderBytes), "05/26/00");
    EXPECT_TRUE(rig.drive().InLoader());

    ExpectGood(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, loaderBytes));
    EXPECT_FALSE(rig.drive().InLoader());
    EXPECT_EQ(rig.drive().Identity(), "HALVERONDVD-ROM VD-5850 ");
}

TEST_P(EmuPaths, DriveWithoutLoaderRefusesTheSwitch) {
    Rig rig("LDMULTI", GetParam());
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, IdentityBytes(rig.drive())), "05/20/00");
    EXPECT_EQ(rig.drive().Identity(), "HALVERONDVD-RAM VR-6910N");
}

TEST_P(EmuPaths, WriteBufferThenReadBufferRoundTrips) {
    Rig rig("LD4740", GetParam());
    std::vector<uint8_t> pattern(3000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    Outcome w = rig.Send(BufferCdb(0x3B, 0x12345, 3000), SG_DXFER_TO_DEV, pattern);
    ExpectGood(w);
    EXPECT_EQ(w.hdr.resid, 0);

    Outcome r =
        rig.Send(BufferCdb(0x3C, 0x12345, 3000), SG_DXFER_FROM_DEV, std::vector<uint8_t>(3000));
    ExpectGood(r);
    EXPECT_EQ(r.data, pattern);
    // A piece from the middle, and the untouched bytes around the write.
    Outcome piece =
        rig.Send(BufferCdb(0x3C, 0x12344, 4), SG_DXFER_FROM_DEV, std::vector<uint8_t>(4));
    EXPECT_EQ(piece.data, (std::vector<uint8_t>{0, pattern[0], pattern[1], pattern[2]}));
    EXPECT_EQ(rig.drive().BufferBytes(0x12345 + 3000, 1), std::vector<uint8_t>{0});
}

TEST_P(EmuPaths, BufferCommandsStayInsideTheBuffer) {
    Rig rig("LD4740", GetParam());
    const uint32_t end = EmulatedDrive::kBufferSize;
    struct Case {
        uint8_t op;
        uint32_t offset, length;
        bool good;
    } cases[] = {
        {0x3B, end - 16, 16, true}, {0x3B, end - 16, 17, false},
        {0x3B, end, 1, false},      {0x3B, 0xFFFFFF, 0xFFFFFF, false},
        {0x3C, end - 16, 16, true}, {0x3C, end - 15, 16, false},
        {0x3C, end, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << int(c.op) << " " << c.offset << " " << c.length);
        uint32_t host = std::min<uint32_t>(c.length, 64);
        Outcome o = c.op == 0x3B ? rig.Send(BufferCdb(c.op, c.offset, c.length), SG_DXFER_TO_DEV,
                                            std::vector<uint8_t>(host, 0x5A))
                                 : rig.Send(BufferCdb(c.op, c.offset, c.length),
                                            host ? SG_DXFER_FROM_DEV : SG_DXFER_NONE,
                                            std::vector<uint8_t>(host));
        if (c.good)
            ExpectGood(o);
        else
            ExpectCheck(o, "05/24/00");
    }
    EXPECT_EQ(rig.drive().BufferBytes(end - 17, 17),
              (std::vector<uint8_t>{0, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                                    0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
}

TEST_P(EmuPaths, ShortCdbHidesTheLengthFromTheDrive) {
    // A WRITE BUFFER cut to six bytes loses its length: the drive writes nothing.
    Rig rig("LD4740", GetParam());
    std::vector<uint8_t> cdb = BufferCdb(0x3B, 0, 4);
    cdb.resize(6);
    Outcome o = rig.Send(cdb, SG_DXFER_TO_DEV, {1, 2, 3, 4});
    ExpectGood(o);
    EXPECT_EQ(o.hdr.resid, 4);
    EXPECT_EQ(rig.drive().BufferBytes(0, 4), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(rig.drive().Log().back().cdb.size(), 6u);
}

TEST_P(EmuPaths, UnknownOpcodesAreInvalidCommands) {
    Rig rig("LD5871,disc=1", GetParam());  // a family with no vendor commands of its own
    for (uint8_t op : {0x01, 0x28, 0xCE, 0xCF, 0xEA, 0xF1, 0xF5}) {
        SCOPED_TRACE(int(op));
        ExpectCheck(rig.Send({op, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "05/20/00");
    }
}

TEST_P(EmuPaths, FailRuleHitsOnlyTheNthCommandOfItsOpcode) {
    Rig rig("LD4740,disc=1,fail=3b@2:03/0c/00,fail=00@4:06/29/00", GetParam());
    std::vector<Outcome> writes;
    for (uint8_t v = 1; v <= 3; ++v) {
        writes.push_back(rig.Send(BufferCdb(0x3B, v, 1), SG_DXFER_TO_DEV, {v}));
        ExpectGood(rig.Send(Tur()));  // TEST UNIT READY counts apart from WRITE BUFFER
    }
    ExpectGood(writes[0]);
    ExpectCheck(writes[1], "03/0c/00");
    ExpectGood(writes[2]);
    // The failed command had no effect.
    EXPECT_EQ(rig.drive().BufferBytes(1, 3), (std::vector<uint8_t>{1, 0, 3}));
    ExpectCheck(rig.Send(Tur()), "06/29/00");
    ExpectGood(rig.Send(Tur()));
    EXPECT_EQ(rig.drive().CountOf(0x3B), 3);
    EXPECT_EQ(rig.drive().CountOf(0x00), 5);
    // Every command is in the log with what it carried and how it ended.
    std::vector<LoggedCommand> log = rig.drive().Log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[2].cdb, BufferCdb(0x3B, 2, 1));
    EXPECT_EQ(log[2].out, std::vector<uint8_t>{2});
    EXPECT_EQ(log[2].reply.status, 0x02);
    EXPECT_EQ(log[2].reply.senseKey, 0x03);
    EXPECT_EQ(log[3].cdb, Tur());
    EXPECT_EQ(log[3].reply.status, 0x00);
}

TEST_P(EmuPaths, FailRuleOnTheSwitchKeepsTheProgram) {
    Rig rig("LD4631,fail=cc:05/2c/00", GetParam());
    ExpectCheck(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, IdentityBytes(rig.drive())), "05/2c/00");
    EXPECT_FALSE(rig.drive().InLoader());
    ExpectGood(rig.Send(SwitchCdb(), SG_DXFER_TO_DEV, IdentityBytes(rig.drive())));
    EXPECT_TRUE(rig.drive().InLoader());
}

struct Refusal {
    const char* what;
    Path path;
    int err;
    void (*change)(sg_io_hdr_t&);
};

TEST(EmuPort, KernelRefusalsNeverReachTheDrive) {
    const Refusal cases[] = {
        {"interface id", Path::Sr, ENOSYS, [](sg_io_hdr_t& h) { h.interface_id = 'Q'; }},
        {"interface id", Path::Sg, ENOSYS, [](sg_io_hdr_t& h) { h.interface_id = 0; }},
        {"short cdb", Path::Sr, EINVAL, [](sg_io_hdr_t& h) { h.cmd_len = 5; }},
        {"long cdb", Path::Sg, EMSGSIZE, [](sg_io_hdr_t& h) { h.cmd_len = 17; }},
        {"no cdb", Path::Sr, EINVAL, [](sg_io_hdr_t& h) { h.cmdp = nullptr; }},
        {"data without direction", Path::Sr, EINVAL,
         [](sg_io_hdr_t& h) { h.dxfer_direction = SG_DXFER_NONE; }},
        {"unknown direction", Path::Sr, EINVAL, [](sg_io_hdr_t& h) { h.dxfer_direction = -5; }},
        {"too long", Path::Sr, EIO, [](sg_io_hdr_t& h) { h.dxfer_len = 256 * 1024 + 1; }},
        {"too long", Path::Sg, EINVAL, [](sg_io_hdr_t& h) { h.dxfer_len = 256 * 1024 + 1; }},
        {"no buffer", Path::Sg, EFAULT, [](sg_io_hdr_t& h) { h.dxferp = nullptr; }},
        {"no sense buffer", Path::Sr, EFAULT, [](sg_io_hdr_t& h) { h.sbp = nullptr; }},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock clock;
        EmulatedDevicePort port({Spec("LD4740")}, clock);
        int err = 0;
        int handle = port.Open(c.path == Path::Sr ? "emu:sr0" : "emu:sg0", err);
        std::vector<uint8_t> cdb = Inquiry();
        std::vector<uint8_t> data(36);
        uint8_t sense[32];
        sg_io_hdr_t h = MakeHdr(cdb, SG_DXFER_FROM_DEV, data, sense, 32);
        c.change(h);
        int rc = c.path == Path::Sr ? port.SgIo(handle, h, err) : port.Submit(handle, h, err);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(port.Drive(0).Log().empty());
    }
}

// An unplugged drive as the kernel shows it: its command in flight ends without it, every later
// call on its nodes fails, and it leaves the listing. A busy one refuses opens.
TEST(EmuPort, AVanishedDriveIsGoneFromTheKernelAndABusyOneRefusesOpens) {
    for (Path path : {Path::Sr, Path::Sg}) {
        SCOPED_TRACE(path == Path::Sr ? "sr" : "sg");
        VirtualClock clock;
        EmulatedDevicePort port({Spec("LD4740,disc=1,vanish=00@2"), Spec("LD3410,busy=2")}, clock);
        const char* node = path == Path::Sr ? "emu:sr0" : "emu:sg0";
        int err = 0;
        int handle = port.Open(node, err);
        ASSERT_GE(handle, 0);
        ExpectGood(Send(port, path, handle, Tur()));

        std::vector<uint8_t> cdb = Tur();
        std::vector<uint8_t> none;
        uint8_t sense[32];
        sg_io_hdr_t h = MakeHdr(cdb, SG_DXFER_NONE, none, sense, 32);
        if (path == Path::Sr) {
            EXPECT_EQ(port.SgIo(handle, h, err), -1);
            EXPECT_EQ(err, ENODEV);
        } else {
            ASSERT_EQ(port.Submit(handle, h, err), 0);  // it was on its way
            sg_io_hdr_t reply{};
            ASSERT_EQ(port.Collect(handle, reply, 0, err), 1);
            EXPECT_EQ(reply.host_status, 0x01);  // DID_NO_CONNECT
            EXPECT_EQ(reply.status, 0);
            EXPECT_EQ(port.Collect(handle, reply, 0, err), -1);  // nothing left to collect
            EXPECT_EQ(err, ENODEV);
            EXPECT_EQ(port.Submit(handle, h, err), -1);
            EXPECT_EQ(err, ENODEV);
        }
        EXPECT_EQ(port.SgIo(handle, h, err), -1);
        EXPECT_EQ(err, ENODEV);
        EXPECT_EQ(port.Drive(0).Log().size(), 2u);  // nothing after the vanish reached it
        EXPECT_TRUE(port.Drive(0).Gone());
        EXPECT_EQ(port.Open(node, err), -1);
        EXPECT_EQ(err, ENXIO);
        DeviceNode found;
        EXPECT_FALSE(port.Describe(node, NodeClass::Block, found));
        for (NodeClass cls : {NodeClass::Block, NodeClass::Generic}) {
            std::vector<DeviceNode> nodes = port.ListNodes(cls);
            ASSERT_EQ(nodes.size(), 1u);
            EXPECT_EQ(nodes[0].index, 1);  // the other drive keeps its number
        }

        // busy=2: the first opening works, every later one fails.
        const char* other = path == Path::Sr ? "emu:sr1" : "emu:sg1";
        int first = port.Open(other, err);
        EXPECT_GE(first, 0);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(port.Open(other, err), -1);
            EXPECT_EQ(err, EBUSY);
        }
        ExpectGood(Send(port, path, first, Inquiry(), SG_DXFER_FROM_DEV, std::vector<uint8_t>(36)));
    }
}

TEST(EmuPort, NodesAndHandles) {
    VirtualClock clock;
    EmulatedDevicePort port({Spec("LD4740"), Spec("LDMULTI,type=0x25"), Spec("LD5850")}, clock);
    ASSERT_EQ(port.DriveCount(), 3u);
    for (NodeClass cls : {NodeClass::Block, NodeClass::Generic}) {
        std::vector<DeviceNode> nodes = port.ListNodes(cls);
        ASSERT_EQ(nodes.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(nodes[i].path,
                      (cls == NodeClass::Block ? "emu:sr" : "emu:sg") + std::to_string(i));
            EXPECT_EQ(nodes[i].index, i);
            EXPECT_EQ(nodes[i].host, 0);
            EXPECT_EQ(nodes[i].channel, 0);
            EXPECT_EQ(nodes[i].target, i);
            EXPECT_EQ(nodes[i].lun, 0);
            EXPECT_EQ(nodes[i].type, 5);  // 0x25 on drive 1: the qualifier is not the type
        }
    }

    const std::tuple<const char*, NodeClass, const char*> resolves[] = {
        {"emu:sr1", NodeClass::Block, "emu:sr1"},   {"emu:sg1", NodeClass::Block, "emu:sr1"},
        {"emu:sr2", NodeClass::Generic, "emu:sg2"}, {"emu:sr3", NodeClass::Block, nullptr},
        {"emu:sr01", NodeClass::Block, nullptr},    {"emu:sr", NodeClass::Block, nullptr},
        {"emu:sr-1", NodeClass::Block, nullptr},    {"/dev/sr0", NodeClass::Block, nullptr},
    };
    for (const auto& [path, cls, expected] : resolves) {
        SCOPED_TRACE(path);
        DeviceNode node;
        ASSERT_EQ(port.Describe(path, cls, node), expected != nullptr);
        if (expected) {
            EXPECT_EQ(node.path, expected);
        }
    }

    int err = 0;
    EXPECT_EQ(port.Open("emu:sr3", err), -1);
    EXPECT_EQ(err, ENOENT);
    int a = port.Open("emu:sr1", err);
    int b = port.Open("emu:sg1", err);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(port.MaxTransferBytes(a), 256u * 1024u);
    EXPECT_EQ(port.SetReservedSize(b, 65536, err), 65536);
    EXPECT_EQ(port.SetReservedSize(b, 1 << 24, err), 256 * 1024);
    // Both nodes reach the same drive.
    Outcome o = Send(port, Path::Sr, a, Inquiry(), SG_DXFER_FROM_DEV, std::vector<uint8_t>(36));
    EXPECT_EQ(o.data[0], 0x25);
    EXPECT_EQ(port.Drive(1).Log().size(), 1u);
    Send(port, Path::Sg, b, Tur());
    EXPECT_EQ(port.Drive(1).Log().size(), 2u);
    EXPECT_TRUE(port.Drive(0).Log().empty());

    // A duplicate reaches the same drive and outlives the handle it was made from.
    int d = port.Duplicate(a, err);
    ASSERT_GE(d, 0);
    EXPECT_NE(d, a);
    port.Close(a);
    sg_io_hdr_t h{};
    EXPECT_EQ(port.SgIo(a, h, err), -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(port.Collect(a, h, 0, err), -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(port.MaxTransferBytes(a), 0u);
    EXPECT_EQ(port.Duplicate(a, err), -1);
    EXPECT_EQ(err, EBADF);
    Send(port, Path::Sr, d, Tur());
    EXPECT_EQ(port.Drive(1).Log().size(), 3u);
}

TEST(EmuPort, AsyncRepliesKeepTheirTagsAndComeInOrder) {
    VirtualClock clock;
    EmulatedDevicePort port({Spec("LD4740")}, clock);
    int err = 0;
    int h = port.Open("emu:sg0", err);
    std::vector<uint8_t> wcdb = BufferCdb(0x3B, 0, 4), rcdb = BufferCdb(0x3C, 0, 4);
    std::vector<uint8_t> out = {9, 8, 7, 6}, in(4, 0);
    uint8_t sense[32];
    sg_io_hdr_t w = MakeHdr(wcdb, SG_DXFER_TO_DEV, out, sense, 32);
    w.pack_id = 1;
    w.usr_ptr = &out;
    sg_io_hdr_t r = MakeHdr(rcdb, SG_DXFER_FROM_DEV, in, sense, 32);
    r.pack_id = 2;
    r.usr_ptr = &in;
    ASSERT_EQ(port.Submit(h, w, err), 0);
    out.assign(4, 0);  // the data left the host at submission
    ASSERT_EQ(port.Submit(h, r, err), 0);
    EXPECT_EQ(in, std::vector<uint8_t>(4, 0)) << "data arrives when collected";

    sg_io_hdr_t got{};
    ASSERT_EQ(port.Collect(h, got, 0, err), 1);
    EXPECT_EQ(got.pack_id, 1);
    EXPECT_EQ(got.usr_ptr, &out);
    ASSERT_EQ(port.Collect(h, got, 0, err), 1);
    EXPECT_EQ(got.pack_id, 2);
    EXPECT_EQ(got.usr_ptr, &in);
    EXPECT_EQ(got.resid, 0);
    EXPECT_EQ(in, (std::vector<uint8_t>{9, 8, 7, 6}));
    EXPECT_EQ(port.Collect(h, got, 0, err), 0);
    EXPECT_EQ(clock.ElapsedMs(), 0u);
}

TEST(EmuPort, HungAsyncCommandNeverCompletesAndCollectLetsTimePass) {
    VirtualClock clock;
    EmulatedDevicePort port({Spec("LD4740,disc=1,hang=12@2")}, clock);
    int err = 0;
    int h = port.Open("emu:sg0", err);
    Outcome first = Send(port, Path::Sg, h, Inquiry(), SG_DXFER_FROM_DEV, std::vector<uint8_t>(36));
    EXPECT_EQ(first.rc, 1);

    std::vector<uint8_t> cdb = Inquiry(), data(36, 0xAA);
    uint8_t sense[32];
    sg_io_hdr_t hung = MakeHdr(cdb, SG_DXFER_FROM_DEV, data, sense, 32);
    hung.pack_id = 5;
    ASSERT_EQ(port.Submit(h, hung, err), 0);
    sg_io_hdr_t got{};
    EXPECT_EQ(port.Collect(h, got, 0, err), 0);
    EXPECT_EQ(clock.ElapsedMs(), 0u);
    EXPECT_EQ(port.Collect(h, got, 1500, err), 0);
    EXPECT_EQ(clock.ElapsedMs(), 1500u);
    EXPECT_EQ(port.Collect(h, got, 100000, err), 0) << "past its own timeout too";
    EXPECT_EQ(clock.ElapsedMs(), 101500u);
    EXPECT_EQ(data, std::vector<uint8_t>(36, 0xAA));

    // A later command on the same node still completes; the hung one stays away.
    Outcome tur = Send(port, Path::Sg, h, Tur());
    EXPECT_EQ(tur.rc, 1);
    EXPECT_EQ(tur.hdr.pack_id, 77);
    EXPECT_EQ(port.Collect(h, got, 0, err), 0);
    EXPECT_EQ(port.Drive(0).CountOf(0x12), 2);
}

void ExpectTimedOut(const sg_io_hdr_t& h) {
    EXPECT_EQ(h.host_status, 0x03);  // DID_TIME_OUT
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.sb_len_wr, 0);
    EXPECT_EQ(h.info & SG_INFO_OK_MASK, SG_INFO_CHECK);
    EXPECT_EQ(h.resid, static_cast<int>(h.dxfer_len));
}

TEST(EmuPort, HungSgIoOnTheCallingThreadTimesOutAfterItsTimeout) {
    VirtualClock clock;
    EmulatedDevicePort port({Spec("LD4740,hang=3b")}, clock);
    int err = 0;
    int h = port.Open("emu:sr0", err);
    std::vector<uint8_t> cdb = BufferCdb(0x3B, 0, 2), data = {1, 2};
    uint8_t sense[32];
    sg_io_hdr_t hdr = MakeHdr(cdb, SG_DXFER_TO_DEV, data, sense, 32);
    hdr.timeout = 7000;
    EXPECT_EQ(port.SgIo(h, hdr, err), 0);
    ExpectTimedOut(hdr);
    EXPECT_EQ(clock.ElapsedMs(), 7000u);
    EXPECT_EQ(port.Drive(0).BufferBytes(0, 2), std::vector<uint8_t>(2, 0));
    EXPECT_FALSE(port.CallDue());
}

TEST(EmuPort, HungSgIoOnAWorkerWaitsForTheVirtualDeadline) {
    VirtualClock clock;
    EmulatedDevicePort port({Spec("LD4740,hang=00")}, clock);
    int err = 0;
    int h = port.Open("emu:sr0", err);
    std::vector<uint8_t> cdb = Tur(), none;
    uint8_t sense[32];
    sg_io_hdr_t hdr = MakeHdr(cdb, SG_DXFER_NONE, none, sense, 32);
    hdr.timeout = 5000;
    std::atomic<bool> done{false};
    int rc = -2, workerErr = 0;
    std::thread worker([&] {
        rc = port.SgIo(h, hdr, workerErr);
        done = true;
    });
    // The call is blocked once the drive has the command.
    while (port.Drive(0).Log().empty()) std::this_thread::yield();
    EXPECT_FALSE(port.CallDue());
    clock.SleepMs(4999);
    EXPECT_FALSE(port.CallDue());
    EXPECT_FALSE(done);
    clock.SleepMs(1);
    EXPECT_TRUE(port.CallDue());
    worker.join();
    EXPECT_EQ(rc, 0);
    ExpectTimedOut(hdr);
    EXPECT_EQ(hdr.duration, 5000u);
    EXPECT_FALSE(port.CallDue());
}

TEST(EmuPort, PortGoingAwayReleasesAHeldWorker) {
    VirtualClock clock;
    auto port = std::make_unique<EmulatedDevicePort>(
        std::vector<EmulatedDriveSpec>{Spec("LD4740,hang=00")}, clock);
    int err = 0;
    int h = port->Open("emu:sr0", err);
    std::vector<uint8_t> cdb = Tur(), none;
    uint8_t sense[32];
    sg_io_hdr_t hdr = MakeHdr(cdb, SG_DXFER_NONE, none, sense, 32);
    int rc = 0, workerErr = 0;
    std::thread worker([&] { rc = port->SgIo(h, hdr, workerErr); });
    while (port->Drive(0).Log().empty()) std::this_thread::yield();
    port.reset();
    worker.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(workerErr, ENODEV);
}

}  // namespace
