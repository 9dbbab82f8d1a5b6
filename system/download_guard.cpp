#include "system/download_guard.h"

#include <atomic>

namespace {
std::atomic<bool> g_running{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from signal handlers");
}  // namespace

bool ProcedureRunning() {
    return g_running.load();
}
void SetProcedureRunning(bool running) {
    g_running.store(running);
}
