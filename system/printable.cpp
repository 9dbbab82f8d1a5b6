#include "system/printable.h"

#include <cstdio>

namespace {

void AppendHex(std::string& out, unsigned char c) {
    char b[8];
    std::snprintf(b, sizeof b, "\\x%02X", c);
    out += b;
}

}  // namespace

std::string Printable(const char* text, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c <= 0x7E && c != '\\')
            s += static_cast<char>(c);
        else
            AppendHex(s, c);
    }
    return s;
}

size_t Utf8SequenceLength(const unsigned char* s, size_t n) {
    if (n == 0 || s[0] < 0xC2 || s[0] > 0xF4) return 0;
    const size_t length = s[0] < 0xE0 ? 2 : s[0] < 0xF0 ? 3 : 4;
    if (n < length) return 0;
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    const unsigned char low = s[0] == 0xE0 ? 0xA0 : s[0] == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = s[0] == 0xED ? 0x9F : s[0] == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < low || s[1] > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    return length;
}

std::string TerminalText(const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = s[i];
        if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(s + i, text.size() - i);
        // U+0080 to U+009F are control characters too.
        if (length > 0 && !(c == 0xC2 && s[i + 1] < 0xA0)) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        AppendHex(out, c);
        ++i;
    }
    return out;
}
