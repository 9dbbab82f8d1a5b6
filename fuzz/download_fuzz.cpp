// One procedure's whole batch DownLoad with the fuzzed file as the image, against a default
// emulated drive of one of its families, on the virtual clock, through the sr or sg back end:
// the --check machinery, which resets the process state before and after each run. The first
// byte chooses the family (low bits), the back end (0x80: sg) and whether the run is repeated
// (0x40); the rest is the file. Every run must end by itself with the procedure's verdict, and
// a repeated run must end as the first did: nothing of one run may leak into the next.
#include <string>
#include <vector>

#include "app/cli/image_check.h"
#include "fuzz/fuzz_support.h"

#ifndef DISCFLASH_FUZZ_FAMILIES
#error "DISCFLASH_FUZZ_FAMILIES names the families of the procedure, e.g. \"LD3410 LD3411\""
#endif

namespace {

std::vector<std::string> Families() {
    std::vector<std::string> ids;
    std::string all = DISCFLASH_FUZZ_FAMILIES;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(' ', at);
        if (end == std::string::npos) end = all.size();
        if (end > at) ids.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return ids;
}

const std::vector<std::string> g_families = Families();
FuzzFile g_file;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string& id = g_families[(data[0] & 0x3F) % g_families.size()];
    const TransportChoice transport = data[0] & 0x80 ? TransportChoice::Sg : TransportChoice::Sr;
    g_file.Write(data + 1, size - 1);

    const std::vector<FamilyCheck> checks = CheckImage(g_file.path(), id, transport);
    FUZZ_CHECK(checks.size() == 1);
    if (data[0] & 0x40) {
        const std::vector<FamilyCheck> again = CheckImage(g_file.path(), id, transport);
        FUZZ_CHECK(again.size() == 1 && CheckLine(again[0]) == CheckLine(checks[0]));
    }
    const FamilyCheck& c = checks[0];
    if (c.verdict == FamilyCheck::Verdict::NotChecked)
        std::fprintf(stderr, "%s: %s\n", id.c_str(), CheckLine(c).c_str());
    FUZZ_CHECK(c.verdict != FamilyCheck::Verdict::NotChecked);
    // A refusal says why; an accepted image was sent.
    if (c.verdict == FamilyCheck::Verdict::Refused) FUZZ_CHECK(!c.messages.empty());
    if (c.verdict == FamilyCheck::Verdict::Accepted) FUZZ_CHECK(c.pieces > 0);
    return 0;
}
