// Bytes from outside (a drive's identity, a file's name or content) shown to a person.
#pragma once

#include <cstddef>
#include <string>

// Printable ASCII as it is, any other byte and the backslash as \xNN: one line of plain ASCII
// from which the bytes can be read back.
std::string Printable(const char* text, size_t n);
inline std::string Printable(const std::string& text) {
    return Printable(text.data(), text.size());
}

// Text for a terminal: valid UTF-8 kept, but control characters (C0, DEL, C1) and bytes that
// are not part of UTF-8 as \xNN, so that no byte can act on the terminal.
std::string TerminalText(const std::string& text);

// The length of the valid UTF-8 sequence (no overlong form, no surrogate, at most U+10FFFF) of
// two bytes or more that starts at s[0]; 0 when none does.
size_t Utf8SequenceLength(const unsigned char* s, size_t n);
