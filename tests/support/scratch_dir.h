// A fresh private directory under the system's temporary one, removed with all in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

struct ScratchDir {
    std::filesystem::path path;  // empty when none could be made

    explicit ScratchDir(const std::string& name = "discflash") {
        std::string pattern = std::filesystem::temp_directory_path() / (name + "-XXXXXX");
        if (::mkdtemp(pattern.data())) path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};
