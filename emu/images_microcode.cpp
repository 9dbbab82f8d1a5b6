// Images for the DVD-RAM family: the drive takes any microcode behind a 48-byte header.
#include "emu/sample_images.h"

void MakeMicrocodeImage(const char*, uint32_t size, std::vector<uint8_t>& image) {
    image = SampleBody(size);
    std::vector<uint8_t> header(48, 0);
    const std::string text = "DISCFLASH SAMPLE MICROCODE";
    header.assign(text.begin(), text.end());
    header.resize(48, 0);
    for (size_t i = 0; i < header.size() && i < image.size(); ++i) image[i] = header[i];
}
