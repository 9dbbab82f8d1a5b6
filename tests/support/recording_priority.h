// A priority port that records the calls made from the thread that created it, and counts the
// calls of every other thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "system/ports.h"

class RecordingPriority : public PriorityPort {
  public:
    std::vector<std::string> calls;  // "lowest", "normal"
    std::atomic<int> otherThreads{0};
    void SetLowest() override { Record("lowest"); }
    void SetNormal() override { Record("normal"); }

  private:
    void Record(const char* what) {
        if (std::this_thread::get_id() == owner_)
            calls.push_back(what);
        else
            ++otherThreads;
    }
    std::thread::id owner_ = std::this_thread::get_id();
};
