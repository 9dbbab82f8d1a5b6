// The DownLoad command's read-back buffer.
#pragma once

#include <cstdint>

constexpr uint32_t kReadBackBufferSize = 1048576;

// The locked 1 MiB zero-filled block of the last DownLoad, or null.
extern uint8_t* readBackBuffer;

// Frees the previous block and allocates a new zero-filled one; false when that fails.
bool RenewReadBackBuffer();
// Frees the block; harmless when there is none.
void FreeReadBackBuffer();
