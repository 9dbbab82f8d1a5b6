// Emulated drives: they answer at the device port, so both back ends run their real code over
// them. For users without hardware, for the demo and for every test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "system/ports.h"
#include "system/zeroed_block.h"

// One injected fault: the nth command (1-based) with this opcode fails with CHECK CONDITION and
// this sense, never completes (hang), returns its data with the first byte inverted (garble),
// moves one byte less than it would (shorten), takes the drive away with it (vanish: unplugged,
// from that command on), or first sends the program a signal, as another process would, and then
// runs as usual (signal).
struct FaultRule {
    uint8_t opcode = 0;
    int nth = 1;
    bool hang = false;
    bool garble = false;
    bool shorten = false;
    bool vanish = false;
    int signal = 0;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
};

// What --emulate=ID[,key=value...] asks for.
struct EmulatedDriveSpec {
    std::string programId;  // a program identifier of the catalogue ("LD4740")
    std::string identity;   // 24 characters: the main program's identity; empty = the group's
    int type = 5;           // INQUIRY byte 0
    bool disc = false;      // a medium is in
    bool loader = false;    // starts in its loader
    bool poll = false;      // the host polls its block device for media (auto-insert on)
    std::vector<FaultRule> faults;
    // INQUIRY bytes 32-35 of each program.
    std::string revision = "1.00";
    std::string loaderRevision = "0.10";
    std::vector<uint8_t> tag;        // reply to 0xCF, zeros where not given
    std::vector<uint8_t> driveData;  // reply to 0xCE, zeros where not given
    int storeSeconds = 5;            // how long the microcode store (0xF5) runs
    int inquiryLength = 0;           // INQUIRY bytes sent whatever was asked; 0: 36, as asked
    int busyFromOpen = 0;            // from this open of its nodes on (1: every), EBUSY; 0 never
    std::vector<uint8_t> config;     // configuration bytes of the firmware it runs, zeros where
                                     // not given (EmulatedDrive::kConfigAt)
};

// One key of --emulate: its name, what its value looks like, and what it means (for --help and
// the README); parse fills in the drive's settings or says why not.
struct EmulateKey {
    const char* name;
    const char* value;
    bool repeatable;
    bool (*parse)(const std::string& value, EmulatedDriveSpec& spec, std::string& error);
    const char* help;
};
// Every key, in the order --help lists them.
const EmulateKey* EmulateKeys(size_t& count);

// The generic back end addresses targets 0 to 6 on its one adapter.
constexpr size_t kMaxEmulatedDrives = 7;

// Parses the value of one --emulate option; false with a message in `error`. ID is a program
// identifier in any case; the keys are those of EmulateKeys.
bool ParseEmulateOption(const std::string& value, EmulatedDriveSpec& spec, std::string& error);

// Parses every --emulate value in order; refuses more than kMaxEmulatedDrives drives.
bool ParseEmulateOptions(const std::vector<std::string>& values,
                         std::vector<EmulatedDriveSpec>& specs, std::string& error);

// The identities an emulated drive of a program identifier reports. `loader` is empty for a
// group without a loader program.
struct EmulatedProgram {
    const char* id;
    const char* loader;  // field 0 of the group, or "" when the drive has no loader
    const char* main;    // the ordinary identity
};
// Case-insensitive lookup; null for an unknown identifier.
const EmulatedProgram* FindEmulatedProgram(const std::string& id);

// Fixed-format sense data as a drive returns it.
constexpr size_t kSenseLength = 18;
std::array<uint8_t, kSenseLength> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq);

// How the drive answered one command.
struct DriveReply {
    uint8_t status = 0;  // SCSI status: 0x00 GOOD, 0x02 CHECK CONDITION
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    std::vector<uint8_t> dataIn;  // what the drive sends, never more than the host takes
    size_t outUsed = 0;           // bytes of the data out the drive took
    bool hang = false;            // never completes
    bool vanished = false;        // the drive is gone; the command went with it
    uint32_t busyMs = 0;          // completes this long after it was sent
};

// One command as the drive received it.
// Opcodes whose data out is the image: WRITE BUFFER and the microcode write.
inline bool IsImageWriteOpcode(uint8_t opcode) {
    return opcode == 0x3B || opcode == 0xEA;
}

struct LoggedCommand {
    std::vector<uint8_t> cdb;  // the bytes sent (the CDB length the host gave)
    std::vector<uint8_t> out;  // the data the host sent
    size_t inCapacity = 0;     // how many bytes the host would take
    bool inLoader = false;     // the program that received it
    DriveReply reply;          // dataIn left empty
};

// One command as a drive's program sees it.
struct DriveCommand {
    const uint8_t* cdb;  // 16 bytes; zero past what the host sent
    const uint8_t* out;  // data the host sends, or null
    size_t outLength;
    size_t inCapacity;  // how much the host takes back
    uint64_t nowMs;     // the clock when the command arrived
};

// Everything a drive's programs work on.
struct DriveState {
    EmulatedDriveSpec spec;
    std::string loaderIdentity, mainIdentity;  // 24 characters each; loader empty: none
    bool inLoader = false;
    bool disc = false;
    // What WRITE BUFFER fills. A tower's runs each emulate every drive: untouched pages are free.
    std::vector<uint8_t, SizedOnceZeroAllocator<uint8_t>> buffer;
    size_t bufferEnd = 0;           // end of the highest write since the last store
    std::vector<uint8_t> firmware;  // the last image the drive stored; empty: the one it came with
    int stores = 0;                 // images stored so far
    uint64_t notReadyUntilMs = 0;   // busy storing: TEST UNIT READY and INQUIRY wait for it
    bool gone = false;              // vanished: no longer attached
};

// A family's own answers, ahead of the commands every drive knows (INQUIRY, TEST UNIT READY,
// WRITE/READ BUFFER into its data buffer, the switch 0xCC). True when it answered.
using FamilyProgram = bool (*)(DriveState& drive, const DriveCommand& command, DriveReply& reply);
// The program of a family (a program identifier), or null when it has nothing of its own.
FamilyProgram FamilyProgramFor(const std::string& programId);

// Helpers for the families' programs.
// The drive keeps what its buffer received since the last store as its new firmware.
void StoreBuffer(DriveState& drive);
DriveReply SenseReply(uint8_t key, uint8_t asc, uint8_t ascq);
// WRITE BUFFER and READ BUFFER over the data buffer at the CDB's offset plus `shift` (a loader
// that returns the image body, from byte 32, at its offset 0).
DriveReply WriteIntoBuffer(DriveState& drive, const DriveCommand& command, size_t shift = 0);
DriveReply ReadFromBuffer(const DriveState& drive, const DriveCommand& command, size_t shift = 0);
uint32_t Be24(const uint8_t* p);
// `bytes` cut or zero-padded to `n`.
std::vector<uint8_t> Fitted(const std::vector<uint8_t>& bytes, size_t n);

// One emulated drive: its running program, medium, data buffer, fault rules and command log.
// Thread-safe.
class EmulatedDrive {
  public:
    static constexpr size_t kBufferSize = 2u << 20;
    static constexpr size_t kInquiryLength = 56;
    // Where the data buffer holds the firmware's configuration bytes: the image's body offsets
    // 0x6009 and 0x1FFDD, which a loader's READ BUFFER of buffer 1 reaches there.
    static constexpr size_t kConfigAt[] = {32 + 0x6009, 32 + 0x1FFDD};

    explicit EmulatedDrive(EmulatedDriveSpec spec);

    // Runs one command. `out` is what the host sends; `inCapacity` how much it takes back;
    // `nowMs` the clock.
    DriveReply Execute(const uint8_t* cdb, size_t cdbLength, const uint8_t* out, size_t outLength,
                       size_t inCapacity, uint64_t nowMs = 0);

    const EmulatedDriveSpec& Spec() const { return state_.spec; }
    bool HasLoader() const;
    bool InLoader() const;
    void SetDisc(bool disc);
    bool Disc() const;
    // INQUIRY bytes 0-55 of the running program.
    std::vector<uint8_t> InquiryData() const;
    // The 24 identity characters of the running program.
    std::string Identity() const;
    // A copy of `length` bytes of the data buffer from `offset` (clipped to the buffer).
    std::vector<uint8_t> BufferBytes(size_t offset, size_t length) const;
    // The last image the drive stored (empty when none), and how many it stored.
    std::vector<uint8_t> StoredFirmware() const;
    int Stores() const;
    // The drive has vanished (a vanish rule fired): the kernel no longer reaches it.
    bool Gone() const;
    std::vector<LoggedCommand> Log() const;
    // Commands received with this opcode so far.
    int CountOf(uint8_t opcode) const;

  private:
    DriveReply Run(const DriveCommand& command);

    mutable std::mutex mu_;
    DriveState state_;
    FamilyProgram family_ = nullptr;
    std::map<uint8_t, int> counts_;
    std::vector<LoggedCommand> log_;
};

// INQUIRY bytes 0-55 of the program running now.
std::vector<uint8_t> InquiryOf(const DriveState& drive);

// A device port whose nodes are emulated drives, listed in option order as block nodes
// ("emu:sr0", ...) and as generic nodes ("emu:sg0", ... at host 0, channel 0, target N, LUN 0).
//
// A hung command never completes on the asynchronous path. Through SgIo it ends like a kernel
// command time-out, after hdr.timeout (60 s when 0) with host status DID_TIME_OUT: a worker
// thread is held until the clock passes that deadline; the thread that created the port (the
// one that moves a virtual clock) instead lets the time pass itself.
//
// A drive that vanishes answers as an unplugged one does: its nodes leave the listing, opening
// them fails with ENXIO, SG_IO with ENODEV (the block layer refuses requests to a removed disk,
// sg those to a detached device); on the asynchronous path the command in flight comes back with
// host status DID_NO_CONNECT, and later submissions, or a wait with nothing left to collect, fail
// with ENODEV. A busy drive refuses opens with EBUSY, as when another program holds it
// exclusively.
class EmulatedDevicePort : public DevicePort {
  public:
    static constexpr uint32_t kMaxTransfer = 256u * 1024u;

    EmulatedDevicePort(std::vector<EmulatedDriveSpec> specs, ClockPort& clock);
    ~EmulatedDevicePort() override;

    std::vector<DeviceNode> ListNodes(NodeClass cls) override;
    // Resolves a node of either class to the same drive's node of class `cls`.
    bool Describe(const std::string& path, NodeClass cls, DeviceNode& node) override;
    bool GenericDriverPresent() override { return true; }
    int Open(const std::string& path, int& err) override;
    void Close(int handle) override;
    int Duplicate(int handle, int& err) override;
    int SgIo(int handle, sg_io_hdr_t& hdr, int& err) override;
    // 0 when queued.
    int Submit(int handle, sg_io_hdr_t& hdr, int& err) override;
    // Nothing ready: lets timeoutMs pass on the clock (a virtual one just moves) and returns 0.
    // A negative timeoutMs never waits: an emulated command that has not completed never will.
    int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) override;
    int SetReservedSize(int handle, int bytes, int& err) override;
    uint32_t MaxTransferBytes(int handle) override;
    bool MaySendAnyCommand(NodeClass) override { return true; }
    bool CallDue() override;
    bool CallWaiting() override;
    std::string WhyNoNode(const std::string& path, NodeClass cls) override;

    size_t DriveCount() const;
    EmulatedDrive& Drive(size_t index);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
