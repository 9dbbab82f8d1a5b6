#include <string>

#include "download/frame.h"

std::vector<std::pair<std::string, std::string>> ParseFileFilter(const char* filter) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!filter) return pairs;
    // Every "|" ends a part; an empty part ends the list.
    std::vector<std::string> parts;
    std::string current;
    const char* c = filter;
    for (; *c; ++c) {
        if (*c != '|') {
            current += *c;
            continue;
        }
        if (current.empty()) break;
        parts.push_back(current);
        current.clear();
    }
    if (!*c && !current.empty()) parts.push_back(current);  // the string's end ends a part too
    for (size_t i = 0; i + 1 < parts.size(); i += 2) pairs.emplace_back(parts[i], parts[i + 1]);
    return pairs;
}
