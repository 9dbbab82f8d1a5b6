// Sample firmware images: for each family, an image of a given size that the default emulated
// drive of its group accepts (identity texts and offsets, checksums, tags). discflash-mkimage
// writes them; tests and the demo use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SampleImageRule {
    const char* id;    // program identifier
    uint32_t minSize;  // smallest and largest file sizes for which a valid image exists
    uint32_t maxSize;
    // Fills `image` with exactly `size` bytes (the file, before any pad byte a procedure adds).
    void (*make)(const char* id, uint32_t size, std::vector<uint8_t>& image);
};

// The rule of a program identifier (any case), or null.
const SampleImageRule* FindSampleImageRule(const std::string& id);
// Every rule, in catalogue order.
const std::vector<SampleImageRule>& SampleImageRules();

// An image of `size` bytes for `id`; false with a message (naming the smallest and largest
// valid sizes when the size is the trouble).
bool MakeSampleImage(const std::string& id, uint32_t size, std::vector<uint8_t>& image,
                     std::string& error);

// ---- for the makers ---------------------------------------------------------------------------

// A recognisable, non-repeating filler: byte i of a body.
uint8_t SampleByte(uint32_t i);
// `size` bytes of filler.
std::vector<uint8_t> SampleBody(uint32_t size);
// `text` copied to `at` (no terminator).
void PutText(std::vector<uint8_t>& image, uint32_t at, const std::string& text);
// The image as a procedure that pads odd lengths sees it: one 0xFF byte more when odd.
std::vector<uint8_t> Padded(const std::vector<uint8_t>& image);

// The makers, one file each (emu/images_*.cpp).
void MakeRomImage(const char* id, uint32_t size, std::vector<uint8_t>& image);
void MakeLoaderSwitchImage(const char* id, uint32_t size, std::vector<uint8_t>& image);
void MakeMicrocodeImage(const char* id, uint32_t size, std::vector<uint8_t>& image);
void MakeCheckedImage(const char* id, uint32_t size, std::vector<uint8_t>& image);
void MakeCdRomImage(const char* id, uint32_t size, std::vector<uint8_t>& image);
