#include "system/clocks.h"

#include <ctime>
#include <thread>

RealClock::RealClock() : start_(std::chrono::steady_clock::now()) {}

void RealClock::SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t RealClock::ProcessMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
}

uint32_t RealClock::TickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

int64_t RealClock::CalendarSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

VirtualClock::VirtualClock(int64_t calendarStart) : calendarStart_(calendarStart) {}

void VirtualClock::SleepMs(uint32_t ms) {
    Advance(ms);
}

uint64_t VirtualClock::ProcessMs() {
    return now_.fetch_add(1) + 1;
}

uint32_t VirtualClock::TickMs() {
    return static_cast<uint32_t>(ProcessMs());
}

int64_t VirtualClock::CalendarSeconds() {
    return calendarStart_ + static_cast<int64_t>(ProcessMs() / 1000);
}

void VirtualClock::Advance(uint64_t ms) {
    now_.fetch_add(ms);
    RunHook();
}

void VirtualClock::SetAfterAdvance(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(hookMu_);
    afterAdvance_ = std::move(hook);
}

void VirtualClock::RunHook() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(hookMu_);
        hook = afterAdvance_;
    }
    if (hook) hook();
}
