// The kernel's names for errno values and host status bytes, as a Linux user looks them up.
#pragma once

#include <cstdint>
#include <string>

// "ENODEV"; a number the C library has no name for comes back as "errno 1234".
std::string ErrnoName(int err);
// "ENODEV (No such device)".
std::string ErrnoText(int err);

// Host status bytes (DID_*) the program tells apart.
constexpr uint8_t kDidNoConnect = 0x01;
constexpr uint8_t kDidTimeOut = 0x03;
// "DID_TIME_OUT (0x03)".
std::string HostStatusName(uint8_t host);
