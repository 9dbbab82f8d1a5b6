// The udev rule that keeps the kernel's media polling and the desktop's automount off for the
// block devices of one drive model. It matches the vendor and model texts as the kernel shows
// them in sysfs, so that it holds for every drive of the model, now and after a restart.
#pragma once

#include <cstdint>
#include <string>

// The rule for the drive whose INQUIRY data (at least 32 bytes) this is: one line, no newline.
std::string NoMediaPollRule(const uint8_t* inquiry);
