// Images for the ROM-image families: what their default emulated drive takes and restarts with.
#include <algorithm>
#include <string>

#include "download/rom_image.h"
#include "emu/emulated_drive.h"
#include "emu/sample_images.h"

namespace {
constexpr uint32_t kIdentityLength = 24;
constexpr uint32_t kTagLength = 2;
}  // namespace

void MakeRomImage(const char* id, uint32_t size, std::vector<uint8_t>& image) {
    image = SampleBody(size);
    // The tag the default drive reports (zeros), where the image reaches it.
    for (uint32_t i = kRomTagOffset; i < kRomTagOffset + kTagLength && i < size; ++i) image[i] = 0;
    // The default drive's identity, blank-padded to 24, from half the image on; moved behind the
    // tag where it would cover it.
    uint32_t at = size / 2;
    if (at < kRomTagOffset + kTagLength && at + kIdentityLength > kRomTagOffset)
        at = kRomTagOffset + kTagLength;
    std::string identity = FindEmulatedProgram(id)->main;
    identity.resize(kIdentityLength, ' ');
    PutText(image, at, identity.substr(0, std::min(kIdentityLength, size - at)));
}
