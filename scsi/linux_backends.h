// The two Linux back ends, wired into the transport. The front end calls UseLinuxBackends()
// once at start-up, after plugging the device port (LinuxDevicePort, or the emulated one) into
// rt().devices and a priority port (LinuxPriority) into rt().priority; InitTransport then picks
// one by rt().transport. The back ends reach the kernel only through rt().devices.
#pragma once

#include "scsi/aspi.h"
#include "scsi/passthrough.h"

// Owns one back end of each kind and plugs them in for its lifetime.
class TransportSet {
  public:
    TransportSet();
    ~TransportSet();
    TransportSet(const TransportSet&) = delete;
    TransportSet& operator=(const TransportSet&) = delete;

    PassThroughBackend passThrough;
    AspiBackend aspi;
};

// Plugs a process-lifetime TransportSet into the transport.
void UseLinuxBackends();
