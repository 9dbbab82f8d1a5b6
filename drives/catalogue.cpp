#include "drives/catalogue.h"

namespace {
IdentificationState g_identification;
}

IdentificationState& identification() { return g_identification; }
const IdentityGroup*& currentGroup = g_identification.currentGroup;
int32_t& currentGroupCount = g_identification.currentGroupCount;
int32_t& settleSeconds = g_identification.settleSeconds;
