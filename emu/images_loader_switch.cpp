// Images for the loader families: what their default emulated loader accepts.
#include <cstring>
#include <string>

#include "download/loader_switch.h"
#include "drives/catalogue.h"
#include "emu/emulated_drive.h"
#include "emu/sample_images.h"

void MakeLoaderSwitchImage(const char* id, uint32_t size, std::vector<uint8_t>& image) {
    const ProgramEntry* entry = FindProgramEntry(id);
    const EmulatedDriveSpec defaults;
    image = SampleBody(size);
    // The loader's INQUIRY bytes 8-36 as the default drive reports them: its identity (field 0
    // of the group, blank-padded to 24), its revision, and the byte after the 36 it was asked
    // for, which reads as zero.
    std::string loader = FindEmulatedProgram(id)->loader;
    loader.resize(24, ' ');
    std::string revision = defaults.loaderRevision;
    revision.resize(4, ' ');
    PutText(image, 0, loader);
    PutText(image, 24, revision);
    image[28] = 0;
    // Drive data the procedure writes in place of the file's (the default drive's are zeros).
    std::memset(image.data() + 44, 0, size > 48 ? 4 : size > 44 ? size - 44 : 0);
    // The hardware tag the default drive reports (kind 4), where the image reaches it.
    if (entry->kind == 4 && size > 24610) image[24610] = 0;
    // Kind 18: a word in the first summed area makes the sum of both areas zero.
    if (entry->kind == 18) {
        constexpr uint32_t kFix = 48;
        image[kFix] = image[kFix + 1] = 0;
        std::vector<uint8_t> padded = Padded(image);
        uint16_t sum = LoaderImageSum(padded.data(), static_cast<uint32_t>(padded.size()));
        uint16_t fix = static_cast<uint16_t>(0x10000 - sum);
        image[kFix] = static_cast<uint8_t>(fix);
        image[kFix + 1] = static_cast<uint8_t>(fix >> 8);
    }
}
