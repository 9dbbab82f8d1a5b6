// The DownLoad command's read-back buffer.
#pragma once

#include <cstdint>

struct ProgramEntry;

// The family DownLoad picks for a drive when the firmware file comes on the command line: the
// first group of that path's order that takes the drive's INQUIRY data (bytes 0 to 55); null
// when none does.
const ProgramEntry* CommandLineFamily(const uint8_t* inquiry);

// The box of a download that ran to its end but whose drive did not report the image's
// identity; the history tells it from other failures by this text.
inline constexpr char kDownLoadNoGood[] = "Down Load NoGood";

constexpr uint32_t kReadBackBufferSize = 1048576;

// The locked 1 MiB zero-filled block of the last DownLoad, or null.
extern uint8_t* readBackBuffer;

// Frees the previous block and allocates a new zero-filled one; false when that fails.
bool RenewReadBackBuffer();
// Frees the block; harmless when there is none.
void FreeReadBackBuffer();
