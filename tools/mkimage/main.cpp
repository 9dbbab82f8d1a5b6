// discflash-mkimage: writes a sample firmware image that the default emulated drive of a
// family accepts, to practise with and to test against.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu/sample_images.h"
#include "tools/mkimage/options.h"

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 64;

std::string Help(const char* name) {
    std::string families, options;
    for (const SampleImageRule& r : SampleImageRules())
        families += "  " + std::string(r.id) + "  " + std::to_string(r.minSize) + " to " +
                    std::to_string(r.maxSize) + " bytes\n";
    for (const MkimageOption& o : kMkimageOptions) {
        std::string label = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        options += "  " + label + std::string(label.size() < 12 ? 12 - label.size() : 1, ' ') +
                   o.help + "\n";
    }
    return std::string("Usage: ") + name +
           " ID OUT [--size BYTES]\n"
           "Write a sample firmware image for the drive family ID (a program name such as\n"
           "LD4740) to the file OUT: an image of exactly BYTES bytes (default " +
           std::to_string(kMkimageDefaultSize) +
           ", or the nearest size the family allows) that an emulated drive of the family\n"
           "accepts with its default keys (discflash --emulate=ID). It is not firmware for a\n"
           "real drive.\n"
           "\n"
           "Families and the sizes of their images:\n" +
           families +
           "\n"
           "Options:\n" +
           options +
           "\n"
           "Exit status: 0 written, 1 the file could not be written, 64 bad command line\n"
           "(an unknown family, or a size for which no valid image exists).\n";
}

bool ParseSize(const std::string& text, uint32_t& size) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    size = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = "discflash-mkimage";
    std::vector<std::string> plain;
    std::string sizeText;
    bool sizeGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Help(name).c_str(), stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("%s (discflash) %s\n", name, DISCFLASH_VERSION);
            return kExitOk;
        }
        if (arg == "--size" && i + 1 < argc) {
            sizeText = argv[++i];
            sizeGiven = true;
        } else if (arg.rfind("--size=", 0) == 0) {
            sizeText = arg.substr(7);
            sizeGiven = true;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "%s: unknown option '%s' (see --help)\n", name, arg.c_str());
            return kExitUsage;
        } else {
            plain.push_back(arg);
        }
    }
    if (plain.size() != 2) {
        std::fprintf(stderr, "%s: expected a family ID and an output file (see --help)\n", name);
        return kExitUsage;
    }
    const SampleImageRule* rule = FindSampleImageRule(plain[0]);
    if (!rule) {
        std::fprintf(stderr, "%s: no sample image for \"%s\" (see --help for the families)\n", name,
                     plain[0].c_str());
        return kExitUsage;
    }
    uint32_t size = kMkimageDefaultSize;
    if (sizeGiven && !ParseSize(sizeText, size)) {
        std::fprintf(stderr, "%s: --size takes a number of bytes, not '%s'\n", name,
                     sizeText.c_str());
        return kExitUsage;
    }
    if (!sizeGiven) size = std::min(std::max(size, rule->minSize), rule->maxSize);
    std::vector<uint8_t> image;
    std::string error;
    if (!MakeSampleImage(plain[0], size, image, error)) {
        std::fprintf(stderr, "%s: %s\n", name, error.c_str());
        return kExitUsage;
    }
    FILE* out = std::fopen(plain[1].c_str(), "wb");
    bool ok = out && std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (out && std::fclose(out) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write '%s'\n", name, plain[1].c_str());
        return kExitFailed;
    }
    return kExitOk;
}
