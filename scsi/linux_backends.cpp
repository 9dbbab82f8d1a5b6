#include "scsi/linux_backends.h"

#include "scsi/transport.h"

TransportSet::TransportSet() {
    SetBackends(&passThrough, &aspi);
}

TransportSet::~TransportSet() {
    if (ActiveBackend() == &passThrough || ActiveBackend() == &aspi) SetBackends(nullptr, nullptr);
}

void UseLinuxBackends() {
    static TransportSet set;
    SetBackends(&set.passThrough, &set.aspi);
}
