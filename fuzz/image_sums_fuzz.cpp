// The image checksums over a fuzzed image of exactly the file's length (as the procedures see it
// after the pad byte): nothing may be read past it, and each verdict must agree with the sum
// it is built on.
#include <vector>

#include "download/cdrom.h"
#include "download/checked_image.h"
#include "download/loader_switch.h"
#include "fuzz/fuzz_support.h"

namespace {

uint16_t Le16(const std::vector<uint8_t>& image, uint32_t at) {
    auto byte = [&](uint32_t i) -> uint16_t { return i < image.size() ? image[i] : 0; };
    return static_cast<uint16_t>(byte(at) | byte(at + 1) << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> image(data, data + size);
    const uint8_t* p = image.data();
    const uint32_t S = static_cast<uint32_t>(image.size());

    FUZZ_CHECK(CheckLoaderImageSum(p, S) == (LoaderImageSum(p, S) == 0));
    FUZZ_CHECK(CheckCdRomImageSum(p, S) == (CdRomImageSum(p, S) == Le16(image, kCdRomSumOffset)));

    const int split = CheckSplitAreaSums(p, S);
    FUZZ_CHECK(split >= 0 && split <= 4);
    if (split == 0) FUZZ_CHECK(FirstAreaSum(p, S) == 0 && SecondAreaSum(p, S) == 0);
    if (split == 3) FUZZ_CHECK(FirstAreaSum(p, S) != 0);

    const int header = CheckHeaderWordSum(p, S);
    FUZZ_CHECK(header == 0 || header == 1);
    if (header == 0) FUZZ_CHECK(HeaderWordSum(p, S) == Le16(image, kHeaderSumOffset));
    return 0;
}
