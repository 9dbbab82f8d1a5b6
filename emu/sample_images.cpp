#include "emu/sample_images.h"

#include <algorithm>
#include <cctype>
#include <cstring>

const std::vector<SampleImageRule>& SampleImageRules() {
    // ROM images: an identity of 24 bytes from half the image on, and room for the 23 the
    // download compares before the image's last byte (47 bytes); at most the 1 MiB buffer.
    // Loader families: identity and loader revision in the first 29 bytes, a body from byte 32,
    // and room for the read-back behind the image in the 1 MiB buffer (S + 2,048).
    // Microcode: a 48-byte header, and pieces that never read past the 1 MiB buffer.
    // Checked images: room for LD4630's area fields, or LD5850's sum fields before a quarter
    // of the file; CD-ROM images: the sum word; up to the 512 KiB or 256 KiB buffer.
    static const std::vector<SampleImageRule> kRules = {
        {"LD3410", 47, 1048576, MakeRomImage},
        {"LD3411", 47, 1048576, MakeRomImage},
        {"LD3520", 47, 1048576, MakeRomImage},
        {"LD3521", 32, 1046528, MakeLoaderSwitchImage},
        {"LD4631", 50, 1046528, MakeLoaderSwitchImage},
        {"LD4740", 32, 1046528, MakeLoaderSwitchImage},
        {"LD4741", 32, 1046528, MakeLoaderSwitchImage},
        {"LD4742", 32, 1046528, MakeLoaderSwitchImage},
        {"LDMULTI", 49, 1048112, MakeMicrocodeImage},
        {"LD4630", 16448, 524288, MakeCheckedImage},
        {"LD5850", 1024, 524288, MakeCheckedImage},
        {"LD5871", 160, 262144, MakeCdRomImage},
        {"LD5860", 160, 262144, MakeCdRomImage},
        {"LD5861", 160, 262144, MakeCdRomImage},
        {"LD5862", 160, 262144, MakeCdRomImage},
        {"LD5851", 160, 262144, MakeCdRomImage},
        {"LD5852", 160, 262144, MakeCdRomImage},
    };
    return kRules;
}

const SampleImageRule* FindSampleImageRule(const std::string& id) {
    std::string up = id;
    for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const SampleImageRule& r : SampleImageRules())
        if (up == r.id) return &r;
    return nullptr;
}

bool MakeSampleImage(const std::string& id, uint32_t size, std::vector<uint8_t>& image,
                     std::string& error) {
    const SampleImageRule* rule = FindSampleImageRule(id);
    if (!rule) {
        error = "no sample image for \"" + id + "\"";
        return false;
    }
    if (size < rule->minSize || size > rule->maxSize) {
        error = "no valid " + std::string(rule->id) + " image has " + std::to_string(size) +
                " bytes: the smallest has " + std::to_string(rule->minSize) + ", the largest " +
                std::to_string(rule->maxSize);
        return false;
    }
    rule->make(rule->id, size, image);
    return true;
}

uint8_t SampleByte(uint32_t i) {
    uint32_t x = i * 2654435761u;
    return static_cast<uint8_t>((x >> 24) ^ (x >> 11) ^ i);
}

std::vector<uint8_t> SampleBody(uint32_t size) {
    std::vector<uint8_t> v(size);
    for (uint32_t i = 0; i < size; ++i) v[i] = SampleByte(i);
    return v;
}

void PutText(std::vector<uint8_t>& image, uint32_t at, const std::string& text) {
    std::memcpy(image.data() + at, text.data(), text.size());
}

std::vector<uint8_t> Padded(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> v = image;
    if (v.size() % 2) v.push_back(0xFF);
    return v;
}
