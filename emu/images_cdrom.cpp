// Images for the DVD-ROM families whose loader reports an identity of its own: the loader's
// identity in the first 24 bytes and the word sum LD5871 checks.
#include <string>

#include "download/cdrom.h"
#include "drives/catalogue.h"
#include "emu/emulated_drive.h"
#include "emu/sample_images.h"

void MakeCdRomImage(const char* id, uint32_t size, std::vector<uint8_t>& image) {
    image = SampleBody(size);
    std::string loader = FindEmulatedProgram(id)->loader;
    loader.resize(24, ' ');
    PutText(image, 0, loader);
    // LD5860 carries the drive's configuration byte there: the default drive's is zero.
    if (FindProgramEntry(id)->kind == 33 && size > kCarriedByteOffset)
        image[kCarriedByteOffset] = 0;
    std::vector<uint8_t> padded = Padded(image);
    uint16_t sum = CdRomImageSum(padded.data(), static_cast<uint32_t>(padded.size()));
    image[kCdRomSumOffset] = static_cast<uint8_t>(sum);
    image[kCdRomSumOffset + 1] = static_cast<uint8_t>(sum >> 8);
}
