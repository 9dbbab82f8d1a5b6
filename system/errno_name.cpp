#include "system/errno_name.h"

#include <cstring>

std::string ErrnoName(int err) {
    const char* name = strerrorname_np(err);
    return name ? name : "errno " + std::to_string(err);
}

std::string ErrnoText(int err) {
    return ErrnoName(err) + " (" + std::strerror(err) + ")";
}

std::string HostStatusName(uint8_t host) {
    // The kernel's names, in the order of their values.
    static const std::string kNames =
        " OK NO_CONNECT BUS_BUSY TIME_OUT BAD_TARGET ABORT PARITY ERROR RESET BAD_INTR PASSTHROUGH "
        "SOFT_ERROR IMM_RETRY REQUEUE TRANSPORT_DISRUPTED TRANSPORT_FAILFAST";
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", host);
    size_t at = 0;
    for (int i = 0; i < host && at != std::string::npos; ++i) at = kNames.find(' ', at + 1);
    if (at == std::string::npos) return b;
    return "DID_" + kNames.substr(at + 1, kNames.find(' ', at + 1) - at - 1) + " (" + b + ")";
}
