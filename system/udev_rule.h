// The udev rule that keeps the kernel's media polling and the desktop's automount off for the
// block devices of one drive model, the drive itself staying visible to the desktop. It matches
// the vendor and model texts as the kernel shows them in sysfs, so that it holds for every drive
// of the model, now and after a restart.
#pragma once

#include <cstdint>
#include <string>

#include "system/ports.h"

// The texts the kernel shows for the drive whose INQUIRY data (at least 32 bytes) this is.
SysfsModel SysfsModelOf(const uint8_t* inquiry);
// Whether the texts are ones the kernel can show. The helper that writes the rule as root takes
// them from its caller and accepts nothing else.
bool IsSysfsModel(const SysfsModel& texts);

// The rule for a model: one line, no newline.
std::string NoMediaPollRule(const SysfsModel& texts);
