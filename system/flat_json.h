// One line of JSON: a flat object of texts, whole numbers, flags and nulls, whose texts are bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// `text` quoted: valid UTF-8 kept, every other byte outside printable ASCII as \u00XX (the code
// point of its value), so that the line is one line and ParseFlatObject gives the bytes back.
void AppendJsonString(std::string& out, const std::string& text);

struct JsonValue {
    enum Kind { Null, Bool, Number, String } kind = Null;
    bool flag = false;
    uint64_t number = 0;  // whole numbers from 0 to 2^64 - 1 only
    std::string text;
};

// The members of a line that holds one such object and nothing else (a nested value, a negative or
// fractional number, a lone surrogate make it none); false when it does not. \u0000 to \u00ff
// are the byte of that value, higher code points UTF-8; a key given twice keeps its last value.
bool ParseFlatObject(const std::string& line, std::map<std::string, JsonValue>& fields);
