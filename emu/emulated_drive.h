// Emulated drives: they answer at the device port, so both back ends run their real code over
// them. For users without hardware, for the demo and for every test.
#pragma once

#include <cstdint>
#include <memory>
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
};

// Parses the value of one --emulate option; false with a message in `error`.
bool ParseEmulateOption(const std::string& value, EmulatedDriveSpec& spec, std::string& error);

class EmulatedDrive;

// A device port whose nodes are emulated drives, listed in option order as block nodes
// ("emu:sr0", ...) and as generic nodes ("emu:sg0", ... at host 0, channel 0, target N, LUN 0).
class EmulatedDevicePort : public DevicePort {
public:
    EmulatedDevicePort(std::vector<EmulatedDriveSpec> specs, ClockPort& clock);
    ~EmulatedDevicePort() override;

    std::vector<DeviceNode> ListNodes(NodeClass cls) override;
    bool Describe(const std::string& path, NodeClass cls, DeviceNode& node) override;
    bool GenericDriverPresent() override { return true; }
    int Open(const std::string& path, int& err) override;
    void Close(int handle) override;
    int SgIo(int handle, sg_io_hdr_t& hdr, int& err) override;
    int Submit(int handle, sg_io_hdr_t& hdr, int& err) override;
    int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) override;
    int SetReservedSize(int handle, int bytes, int& err) override;
    uint32_t MaxTransferBytes(int handle) override;
    bool MaySendAnyCommand(NodeClass) override { return true; }
    bool CallDue() override;

    size_t DriveCount() const;
    EmulatedDrive& Drive(size_t index);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
