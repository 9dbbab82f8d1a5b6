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

// One injected fault: the nth command (1-based) with this opcode fails with CHECK CONDITION and
// this sense, or never completes (hang).
struct FaultRule {
    uint8_t opcode = 0;
    int nth = 1;
    bool hang = false;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
};

// What --emulate=ID[,key=value...] asks for.
struct EmulatedDriveSpec {
    std::string programId;  // a program identifier of the catalogue ("LD4740")
    std::string identity;   // 24 characters: the main program's identity; empty = the group's
    int type = 5;           // INQUIRY byte 0
    bool disc = false;      // a medium is in
    bool loader = false;    // starts in its loader
    std::vector<FaultRule> faults;
    // INQUIRY bytes 32-35 of each program (no option sets them yet).
    std::string revision = "1.00";
    std::string loaderRevision = "0.10";
};

// The generic back end addresses targets 0 to 6 on its one adapter.
constexpr size_t kMaxEmulatedDrives = 7;

// Parses the value of one --emulate option; false with a message in `error`. ID is a program
// identifier in any case; keys: identity=TEXT (up to 24 printable characters, padded with
// blanks; no commas), type=N (0-255, decimal or 0x hex), disc=1|0, loader=1|0,
// fail=OP[@N]:KK/AA/QQ and hang=OP[@N] (hexadecimal opcode and sense, N from 1; repeatable).
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
};

// One command as the drive received it.
struct LoggedCommand {
    std::vector<uint8_t> cdb;  // the bytes sent (the CDB length the host gave)
    std::vector<uint8_t> out;  // the data the host sent
    size_t inCapacity = 0;     // how many bytes the host would take
    bool inLoader = false;     // the program that received it
    DriveReply reply;          // dataIn left empty
};

// One emulated drive: its running program, medium, data buffer, fault rules and command log.
// Thread-safe.
class EmulatedDrive {
  public:
    static constexpr size_t kBufferSize = 2u << 20;
    static constexpr size_t kInquiryLength = 56;

    explicit EmulatedDrive(EmulatedDriveSpec spec);

    // Runs one command. `out` is what the host sends; `inCapacity` how much it takes back.
    DriveReply Execute(const uint8_t* cdb, size_t cdbLength, const uint8_t* out, size_t outLength,
                       size_t inCapacity);

    const EmulatedDriveSpec& Spec() const { return spec_; }
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
    std::vector<LoggedCommand> Log() const;
    // Commands received with this opcode so far.
    int CountOf(uint8_t opcode) const;

  private:
    std::vector<uint8_t> InquiryLocked() const;
    DriveReply Run(const uint8_t* cdb, const uint8_t* out, size_t outLength, size_t inCapacity);

    mutable std::mutex mu_;
    EmulatedDriveSpec spec_;
    std::string loaderIdentity_, mainIdentity_;  // 24 characters each
    bool inLoader_ = false;
    bool disc_ = false;
    std::vector<uint8_t> buffer_;
    std::map<uint8_t, int> counts_;
    std::vector<LoggedCommand> log_;
};

// A device port whose nodes are emulated drives, listed in option order as block nodes
// ("emu:sr0", ...) and as generic nodes ("emu:sg0", ... at host 0, channel 0, target N, LUN 0).
//
// A hung command never completes on the asynchronous path. Through SgIo it ends like a kernel
// command time-out, after hdr.timeout (60 s when 0) with host status DID_TIME_OUT: a worker
// thread is held until the clock passes that deadline; the thread that created the port (the
// one that moves a virtual clock) instead lets the time pass itself.
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

    size_t DriveCount() const;
    EmulatedDrive& Drive(size_t index);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
