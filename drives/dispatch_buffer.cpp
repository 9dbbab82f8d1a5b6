#include <cstdlib>

#include "drives/dispatch.h"

uint8_t* readBackBuffer = nullptr;

bool RenewReadBackBuffer() {
    FreeReadBackBuffer();
    readBackBuffer = static_cast<uint8_t*>(std::calloc(kReadBackBufferSize, 1));
    return readBackBuffer != nullptr;
}

void FreeReadBackBuffer() {
    std::free(readBackBuffer);
    readBackBuffer = nullptr;
}
