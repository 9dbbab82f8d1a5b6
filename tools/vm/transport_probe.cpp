// Sends a fixed set of commands through one transport and prints one line per command, for the
// guest tests to compare:
//   PROBE <transport> <drive> <step> result=<R> sense=KK/AA/QQ [extra]
// Usage:
//   transport_probe sr|sg EMPTY_MODEL MEDIUM_MODEL   two QEMU drives of tools/vm-smoke: one
//                                                    without a disc, one with a 4 MiB data disc
//   transport_probe sr|sg drive NODE                 an emulated drive the kernel serves
//   transport_probe sr|sg drive --emulate=ID,...  the same drive in-process, to compare with
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "emu/emulated_drive.h"
#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/clocks.h"
#include "system/linux_devices.h"
#include "system/linux_priority.h"
#include "system/runtime.h"
#include "system/sha256.h"
#include "tests/support/fake_ui.h"

namespace {

const char* g_transport = "";

// After a command: its result and the error record's sense key/ASC/ASCQ.
void Line(const char* drive, const char* step, int result, const std::string& extra = {}) {
    const CommandErrorRecord& e = lastCommandError;
    std::printf("PROBE %s %s %s result=%d sense=%02X/%02X/%02X%s%s\n", g_transport, drive, step,
                result, e.senseKey & 0x0F, e.asc, e.ascq, extra.empty() ? "" : " ", extra.c_str());
}

// After a step that sends no command (the error record would be the previous command's).
void Note(const char* drive, const char* step, int result, const std::string& extra = {}) {
    std::printf("PROBE %s %s %s result=%d%s%s\n", g_transport, drive, step, result,
                extra.empty() ? "" : " ", extra.c_str());
}

// Polls a no-wait command until it is no longer running; bounded by 20 s of real time.
int PollUntilDone() {
    for (int i = 0; i < 20000; ++i) {
        int s = PollCommand();
        if (s != 0) return s;
        SleepMs(1);
    }
    return 0;
}

DriveRecord* Find(const char* model) {
    for (int i = 0; i < driveCount; ++i)
        if (std::strncmp(driveTable[i].IdentityText() + 8, model, std::strlen(model)) == 0)
            return &driveTable[i];
    return nullptr;
}

void Inquiry(const char* drive, const DriveRecord& d) {
    uint8_t cdb[12] = {0x12, 0, 0, 0, 36, 0};
    uint8_t data[36] = {};
    int r = ExecCommand(cdb, data, sizeof data);
    bool same = std::memcmp(data + 8, d.inquiry + 8, 28) == 0;
    Line(drive, "inquiry", r, same ? "match=1" : "match=0");

    // The same without waiting, collected by polling.
    std::memset(data, 0, sizeof data);
    r = ExecCommandEx(0, XFER_IN, cdb, data, sizeof data);
    int s = r ? PollUntilDone() : -1;
    same = std::memcmp(data + 8, d.inquiry + 8, 28) == 0;
    Line(drive, "inquiry-nowait", r,
         "poll=" + std::to_string(s) + (same ? " match=1" : " match=0"));
}

void EmptyDrive(DriveRecord& d) {
    const char* name = "empty";
    int r = OpenDrive(d);
    Note(name, "open", r, "max=" + std::to_string(TransportMaxTransfer()));
    if (!r) return;
    std::string why;
    Note(name, "may-send-any", TransportMaySendAnyCommand(why) ? 1 : 0);
    Inquiry(name, d);
    // A drive without a disc: NOT READY, MEDIUM NOT PRESENT.
    Line(name, "tur", TestUnitReady());
    uint8_t tur[12] = {};
    r = ExecCommandEx(0, XFER_NONE, tur, nullptr, 0);
    int s = r ? PollUntilDone() : -1;
    Line(name, "tur-nowait", r, "poll=" + std::to_string(s));
    Line(name, "tur-again", TestUnitReady());
    CloseDrive();
}

// READ(10) of `blocks` blocks from block 0 in one command; counts the blocks that came back right.
int ReadBlocks(uint8_t* buf, uint32_t blocks, int& good) {
    std::memset(buf, 0xEE, blocks * 2048u);
    uint8_t rd[12] = {
        0x28, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
    int r = ExecCommand(rd, buf, blocks * 2048u);
    good = 0;
    for (uint32_t b = 0; b < blocks; ++b)
        if (((buf[b * 2048] << 8) | buf[b * 2048 + 1]) == static_cast<int>(b)) ++good;
    return r;
}

void MediumDrive(DriveRecord& d) {
    const char* name = "medium";
    int r = OpenDrive(d);
    Note(name, "open", r, "max=" + std::to_string(TransportMaxTransfer()));
    if (!r) return;
    // A fresh disc may first report UNIT ATTENTION; the second TEST UNIT READY must pass.
    TestUnitReady();
    Line(name, "tur", TestUnitReady());
    uint8_t cap[12] = {0x25};
    uint8_t capData[8] = {};
    r = ExecCommand(cap, capData, sizeof capData);
    unsigned last = (capData[0] << 24) | (capData[1] << 16) | (capData[2] << 8) | capData[3];
    unsigned block = (capData[4] << 24) | (capData[5] << 16) | (capData[6] << 8) | capData[7];
    Line(name, "read-capacity", r,
         "last=" + std::to_string(last) + " block=" + std::to_string(block));
    // 64 KiB read of blocks 1 to 32: the disc image carries its block number in every block.
    static uint8_t buf[kLength64K];
    std::memset(buf, 0xEE, sizeof buf);
    uint8_t rd[12] = {0x28, 0, 0, 0, 0, 1, 0, 0, 32, 0};
    r = ExecCommand64K(rd, buf);
    int good = 0;
    for (int b = 0; b < 32; ++b) {
        unsigned v = (buf[b * 2048] << 8) | buf[b * 2048 + 1];
        if (v == static_cast<unsigned>(b + 1)) ++good;
    }
    Line(name, "read-64k", r, "blocks-ok=" + std::to_string(good));
    // Past the end of the disc: ILLEGAL REQUEST, LBA OUT OF RANGE.
    uint8_t past[12] = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
    Line(name, "read-past-end", ExecCommand(past, buf, 2048));
    // WRITE BUFFER (data mode, 512 bytes): an emulated drive refuses it; what matters is that
    // it reaches the drive and the drive's answer comes back the same on both transports.
    uint8_t wb[12] = {0x3B, 0x02, 0, 0, 0, 0, 0, 0x02, 0x00, 0};
    uint8_t out[512];
    for (size_t i = 0; i < sizeof out; ++i) out[i] = static_cast<uint8_t>(i);
    Line(name, "write-buffer", ExecCommand(wb, out, sizeof out));
    // The drive still answers after the refusal.
    Line(name, "tur-again", TestUnitReady());
    // One transfer of the largest size the transport claims (the disc holds 2048 blocks).
    uint32_t max = TransportMaxTransfer();
    uint32_t blocks = std::min<uint32_t>(max / 2048u, 2047u);
    static uint8_t big[2047 * 2048];
    good = 0;
    r = ReadBlocks(big, blocks, good);
    Line(name, "read-max", r,
         "blocks=" + std::to_string(blocks) + " blocks-ok=" + std::to_string(good) +
             (good == static_cast<int>(blocks) ? " all=1" : " all=0"));
    CloseDrive();
}

// An emulated drive: its buffer commands, the program switch and a no-wait command, with
// answers that must not depend on whether a kernel stands between program and drive.
void EmulatedDriveCommands(DriveRecord& d) {
    const char* name = "drive";
    int r = OpenDrive(d);
    Note(name, "open", r, "max=" + std::to_string(TransportMaxTransfer()));
    if (!r) return;
    Inquiry(name, d);
    Line(name, "tur", TestUnitReady());

    // WRITE BUFFER (data mode) of 256 KiB in one command, then READ BUFFER of it in one and in
    // 2048-byte pieces at odd offsets.
    constexpr uint32_t kBig = 256 * 1024;
    static uint8_t out[kBig], back[kBig];
    for (uint32_t i = 0; i < kBig; ++i) out[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    auto buffer = [](uint8_t op, uint32_t offset, uint32_t length) {
        std::array<uint8_t, 12> c{op, 0x02, 0};
        c[3] = static_cast<uint8_t>(offset >> 16);
        c[4] = static_cast<uint8_t>(offset >> 8);
        c[5] = static_cast<uint8_t>(offset);
        c[6] = static_cast<uint8_t>(length >> 16);
        c[7] = static_cast<uint8_t>(length >> 8);
        c[8] = static_cast<uint8_t>(length);
        return c;
    };
    Line(name, "write-buffer-256k", ExecCommand(buffer(0x3B, 0, kBig).data(), out, kBig));
    std::memset(back, 0, sizeof back);
    r = ExecCommand(buffer(0x3C, 0, kBig).data(), back, kBig);
    Line(name, "read-buffer-256k", r,
         std::string("equal=") + (std::memcmp(out, back, kBig) == 0 ? "1" : "0"));
    int same = 0, sent = 0;
    for (uint32_t o = 2048 + 3; o + 2048 <= kBig; o += 37 * 2048, ++sent) {
        std::memset(back, 0, 2048);
        if (ExecCommand(buffer(0x3C, o, 2048).data(), back, 2048) &&
            std::memcmp(out + o, back, 2048) == 0)
            ++same;
    }
    Note(name, "read-buffer-pieces", same == sent,
         "pieces=" + std::to_string(sent) + " equal=" + std::to_string(same));
    // Past the end of the drive's buffer.
    Line(name, "read-buffer-past-end", ExecCommand(buffer(0x3C, 0xFFFFF0, 64).data(), back, 64));

    // The program switch carries the identity the drive reports (INQUIRY bytes 8 to 35).
    uint8_t inquiry[12] = {0x12, 0, 0, 0, 36, 0};
    uint8_t id[36] = {};
    ExecCommand(inquiry, id, sizeof id);
    uint8_t sw[12] = {0xCC, 0, 0, 0, 0, 0, 0, 0, 28, 0};
    Line(name, "switch", ExecCommand(sw, id + 8, 28));
    std::memset(id, 0, sizeof id);
    ExecCommand(inquiry, id, sizeof id);
    Note(name, "identity-after-switch", 1, std::string(reinterpret_cast<char*>(id + 8), 24));
    Line(name, "switch-back", ExecCommand(sw, id + 8, 28));

    // A vendor command the drive may not know, without waiting, then a TEST UNIT READY the same
    // way.
    uint8_t store[12] = {0xF5};
    r = ExecCommandEx(0, XFER_NONE, store, nullptr, 0);
    int s = r ? PollUntilDone() : -1;
    Line(name, "vendor-nowait", r, "poll=" + std::to_string(s));
    uint8_t tur[12] = {};
    r = ExecCommandEx(0, XFER_NONE, tur, nullptr, 0);
    s = r ? PollUntilDone() : -1;
    Line(name, "tur-nowait", r, "poll=" + std::to_string(s));
    CloseDrive();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[2]) == "drive") {
        g_transport = argv[1];
        static FakeUi ui;
        static RealClock clock;
        static LinuxPriority priority;
        std::unique_ptr<DevicePort> devices;
        EmulatedDevicePort* emulated = nullptr;
        std::string node = argv[3];
        bool sg = std::string(argv[1]) == "sg";
        if (node.rfind("--emulate=", 0) == 0) {
            EmulatedDriveSpec spec;
            std::string why;
            if (!ParseEmulateOption(node.substr(10), spec, why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return 64;
            }
            auto port =
                std::make_unique<EmulatedDevicePort>(std::vector<EmulatedDriveSpec>{spec}, clock);
            emulated = port.get();
            devices = std::move(port);
            node = sg ? "emu:sg0" : "emu:sr0";
        } else {
            devices = std::make_unique<LinuxDevicePort>();
        }
        Runtime& r = rt();
        r.ui = &ui;
        r.clock = &clock;
        r.devices = devices.get();
        r.priority = &priority;
        r.transport = sg ? TransportChoice::Sg : TransportChoice::Sr;
        r.deviceFilter = {node};
        UseLinuxBackends();
        if (!InitTransport()) return 1;
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        std::printf("PROBE %s drives=%d\n", g_transport, driveCount);
        if (driveCount != 1) return 1;
        EmulatedDriveCommands(driveTable[0]);
        if (emulated) {
            // What the drive holds afterwards, to compare with the same drive behind a kernel.
            std::vector<uint8_t> b = emulated->Drive(0).BufferBytes(0, EmulatedDrive::kBufferSize);
            std::printf("PROBE %s drive buffer-sha256=%s\n", g_transport,
                        Sha256Hex(b.data(), b.size()).c_str());
        }
        for (const ShownMessage& m : ui.messages)
            std::printf("PROBE %s message: %s\n", g_transport, m.text.c_str());
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s sr|sg EMPTY_MODEL MEDIUM_MODEL\n", argv[0]);
        return 64;
    }
    g_transport = argv[1];
    static FakeUi ui;
    static RealClock clock;
    static LinuxDevicePort devices;
    static LinuxPriority priority;
    Runtime& r = rt();
    r.ui = &ui;
    r.clock = &clock;
    r.devices = &devices;
    r.priority = &priority;
    r.transport = std::string(argv[1]) == "sg" ? TransportChoice::Sg : TransportChoice::Sr;
    UseLinuxBackends();
    if (!InitTransport()) {
        std::printf("PROBE %s init failed\n", g_transport);
        return 1;
    }
    driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
    std::printf("PROBE %s drives=%d\n", g_transport, driveCount);
    DriveRecord* empty = Find(argv[2]);
    DriveRecord* medium = Find(argv[3]);
    if (!empty || !medium) {
        std::printf("PROBE %s drive not found\n", g_transport);
        return 1;
    }
    EmptyDrive(*empty);
    MediumDrive(*medium);
    for (const ShownMessage& m : ui.messages)
        std::printf("PROBE %s message: %s\n", g_transport, m.text.c_str());
    return 0;
}
