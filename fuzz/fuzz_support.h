// What the fuzz targets share: a check that stops the run with a finding, and the fuzzed bytes
// as a file the loader can open without touching the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A broken promise is a finding: libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "%s:%d: FUZZ_CHECK(%s)\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// An in-memory regular file, reachable by path, rewritten for every input.
class FuzzFile {
  public:
    FuzzFile() : fd_(::memfd_create("discflash-fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~FuzzFile() { ::close(fd_); }
    FuzzFile(const FuzzFile&) = delete;
    FuzzFile& operator=(const FuzzFile&) = delete;

    void Write(const uint8_t* data, size_t size) {
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
    }
    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};
