#include "system/udev_rule.h"

#include <cstring>

namespace {

// The kernel cleans INQUIRY texts before it shows them: a zero byte ends the text, and it, what
// follows it and any byte outside printable ASCII become blanks. Blank padding is kept.
std::string SysfsText(const uint8_t* field, size_t length) {
    std::string text(length, ' ');
    for (size_t i = 0; i < length && field[i] != 0; ++i)
        if (field[i] >= 0x20 && field[i] <= 0x7E) text[i] = static_cast<char>(field[i]);
    return text;
}

// A character udev would read as pattern syntax, the end of the string or a substitution is
// matched by "?" (any one character) instead: no drive text can change what the rule does.
std::string MatchValue(std::string text) {
    for (char& c : text)
        if (std::strchr("\"\\*?[]|$%", c)) c = '?';
    return text;
}

}  // namespace

std::string NoMediaPollRule(const uint8_t* inquiry) {
    // With trailing blanks in the match value udev compares the attribute whole, blanks and all.
    return "SUBSYSTEM==\"block\", ACTION!=\"remove\", ATTRS{vendor}==\"" +
           MatchValue(SysfsText(inquiry + 8, 8)) + "\", ATTRS{model}==\"" +
           MatchValue(SysfsText(inquiry + 16, 16)) +
           "\", ATTR{events_poll_msecs}=\"0\", ENV{UDISKS_IGNORE}=\"1\", ENV{UDISKS_AUTO}=\"0\"";
}
