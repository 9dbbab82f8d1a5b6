// A trace plugged into the runtime that writes to a temporary stream, read back as lines.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "system/runtime.h"
#include "system/trace.h"

struct TraceCapture {
    FILE* file = std::tmpfile();
    Trace trace{file};

    TraceCapture() { rt().trace = &trace; }
    ~TraceCapture() {
        if (rt().trace == &trace) rt().trace = nullptr;
        if (file) std::fclose(file);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Everything written so far; the trace goes on writing after it.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::rewind(file);
        char buf[4096];
        while (std::fgets(buf, sizeof buf, file)) {
            std::string s(buf);
            if (!s.empty() && s.back() == '\n') s.pop_back();
            lines.push_back(s);
        }
        std::fseek(file, 0, SEEK_END);
        return lines;
    }
    // The lines of one kind of event.
    std::vector<std::string> Events(const std::string& ev) {
        std::vector<std::string> found;
        for (const std::string& line : Lines())
            if (line.find(",\"ev\":\"" + ev + "\"") != std::string::npos) found.push_back(line);
        return found;
    }
};
