// The two Linux back ends (backend.h), wired into the transport. The front end calls
// UseLinuxBackends() once at start-up, after plugging the device port (LinuxDevicePort, or the
// emulated one) into rt().devices and a priority port (LinuxPriority) into rt().priority;
// InitTransport then picks one by rt().transport. The back ends reach the kernel only through
// rt().devices.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "scsi/backend.h"
#include "scsi/command.h"
#include "system/ports.h"

// --transport=sr (passthrough.cpp) and --transport=sg (aspi.cpp).
std::unique_ptr<Backend> MakePassThroughBackend();
std::unique_ptr<Backend> MakeAspiBackend();

// The sg listing's walk: for each adapter (a distinct SCSI host and channel, numbered from 0 in
// that order), targets 0 to 6 and LUNs 0 to 254, every node there in turn with its adapter
// number, until `visit` says to leave the target or to stop. The number of adapters.
enum class Walk { Next, NextTarget, Stop };
int WalkAdapters(const std::vector<DeviceNode>& nodes,
                 const std::function<Walk(const DeviceNode&, uint8_t adapter)>& visit);

// One request as the kernel takes it: the header and its CDB and sense areas. The caller's
// buffer goes to the kernel directly.
struct SgBlock {
    sg_io_hdr_t hdr{};
    uint8_t cdb[16] = {};
    uint8_t sense[32] = {};

    void Prepare(const CommandRequest& r);
    // What the kernel answered; `callResult` is the call's: 0, or -1 with errno in err.
    void Read(int callResult, int err, CommandOutcome& outcome) const;
};

// A record for a listed node, labelled `number` ("%-2d", the last two digits above 99), with the
// first 56 bytes of its INQUIRY data when it answered.
void FillRecord(DriveRecord& record, const DeviceNode& node, int number, const uint8_t* inquiry);

// The nodes of a class to list: all of them, or those --device names, in its order and each once
// (the others noted and left out).
std::vector<DeviceNode> ListedNodes(DevicePort& port, NodeClass cls);

// Owns one back end of each kind and plugs them in for its lifetime.
class TransportSet {
  public:
    TransportSet() : passThrough_(MakePassThroughBackend()), aspi_(MakeAspiBackend()) { Plug(); }
    ~TransportSet();
    void Plug();

  private:
    std::unique_ptr<Backend> passThrough_, aspi_;
};

// Plugs a process-lifetime TransportSet into the transport.
void UseLinuxBackends();
