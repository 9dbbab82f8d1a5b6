#include "download/pieces.h"
#include "download/rom_image.h"

bool FindRomIdentity(const uint8_t* image, uint32_t length, const IdentityGroup* group,
                     int32_t count, int32_t compare, uint32_t& offset) {
    IdentityHit hit;
    if (!SearchGroupIdentity(image, length / 2, length, group, count, compare, hit)) return false;
    offset = hit.offset;
    return true;
}
