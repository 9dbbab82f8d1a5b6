// Clock ports: the real one and a virtual one on which waits cost nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "system/ports.h"

class RealClock : public ClockPort {
  public:
    RealClock();
    void SleepMs(uint32_t ms) override;
    uint64_t ProcessMs() override;
    uint32_t TickMs() override;
    int64_t CalendarSeconds() override;
    uint64_t ElapsedMs() override { return ProcessMs(); }
    bool IsVirtual() const override { return false; }

  private:
    std::chrono::steady_clock::time_point start_;
};

// Time moves only when somebody sleeps or looks at the clock (one millisecond per look at the
// process or calendar clock, so that a loop that spins until a deadline ends). Thread-safe.
class VirtualClock : public ClockPort {
  public:
    explicit VirtualClock(int64_t calendarStart = 1796688000);  // 2026-12-08 00:00 UTC
    void SleepMs(uint32_t ms) override;
    uint64_t ProcessMs() override;
    uint32_t TickMs() override;
    int64_t CalendarSeconds() override;
    uint64_t ElapsedMs() override { return now_.load(); }
    bool IsVirtual() const override { return true; }

    // Moves time forward without a sleep (an emulated drive that takes time).
    void Advance(uint64_t ms);
    // Runs after every advance: lets work that is due by the new time finish first.
    void SetAfterAdvance(std::function<void()> hook);

  private:
    void RunHook();
    std::atomic<uint64_t> now_{0};
    int64_t calendarStart_;
    std::mutex hookMu_;
    std::function<void()> afterAdvance_;
};
