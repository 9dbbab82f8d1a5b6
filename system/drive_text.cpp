#include "system/drive_text.h"

std::string PrintableDriveText(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            s += ch;
        } else {
            s += "\\x";
            s += kDigits[c >> 4];
            s += kDigits[c & 15];
        }
    }
    return s;
}
