// discflash-mkimage's options, read by its --help, its manual page and its shell completion.
#pragma once

#include <cstdint>

constexpr uint32_t kMkimageDefaultSize = 65536;

struct MkimageOption {
    const char* name;
    const char* value;  // what follows the name (as the next argument or after '='), or null
    const char* help;
};

inline constexpr MkimageOption kMkimageOptions[] = {
    {"--size", "BYTES", "the image's size in bytes"},
    {"--help", nullptr, "show this help and exit"},
    {"--version", nullptr, "show the version and exit"},
};
