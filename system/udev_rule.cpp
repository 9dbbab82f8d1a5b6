#include "system/udev_rule.h"

#include <cstring>

namespace {

constexpr size_t kVendorLength = 8;
constexpr size_t kModelLength = 16;

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// The kernel cleans INQUIRY texts before it shows them: a zero byte ends the text, and it, what
// follows it and any byte outside printable ASCII become blanks. Blank padding is kept.
std::string SysfsText(const uint8_t* field, size_t length) {
    std::string text(length, ' ');
    for (size_t i = 0; i < length && field[i] != 0; ++i)
        if (Printable(static_cast<char>(field[i]))) text[i] = static_cast<char>(field[i]);
    return text;
}

bool IsSysfsText(const std::string& text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!Printable(c)) return false;
    return true;
}

// A character udev would read as pattern syntax, the end of the string or a substitution is
// matched by "?" (any one character) instead: no drive text can change what the rule does.
std::string MatchValue(std::string text) {
    for (char& c : text)
        if (std::strchr("\"\\*?[]|$%", c)) c = '?';
    return text;
}

}  // namespace

SysfsModel SysfsModelOf(const uint8_t* inquiry) {
    return {SysfsText(inquiry + 8, kVendorLength), SysfsText(inquiry + 16, kModelLength)};
}

bool IsSysfsModel(const SysfsModel& texts) {
    return IsSysfsText(texts.vendor, kVendorLength) && IsSysfsText(texts.model, kModelLength);
}

std::string NoMediaPollRule(const SysfsModel& texts) {
    // With trailing blanks in the match value udev compares the attribute whole, blanks and all.
    // UDISKS_AUTO keeps the desktop from mounting a disc; the drive itself stays in its lists.
    return "SUBSYSTEM==\"block\", ACTION!=\"remove\", ATTRS{vendor}==\"" +
           MatchValue(texts.vendor) + "\", ATTRS{model}==\"" + MatchValue(texts.model) +
           "\", ATTR{events_poll_msecs}=\"0\", ENV{UDISKS_AUTO}=\"0\"";
}
