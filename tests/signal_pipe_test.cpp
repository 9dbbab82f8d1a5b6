// Signals become bytes on a pipe that the event loop reads: order kept, nothing ever blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "app/cli/signals.h"

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// A signal ignored at start stays ignored: a test run under nohup would miss the ones it raises.
void Install() {
    if (SignalPipeFd() < 0)
        for (int s : {SIGUSR1, SIGHUP, SIGTERM, SIGINT}) signal(s, SIG_DFL);
    InstallSignalPipe();
}

void Drain() {
    while (TakeSignal() != 0) {
    }
}

TEST(SignalPipe, DeliversEachSignalInOrderAndThenNothing) {
    Install();
    const int fd = SignalPipeFd();
    ASSERT_GE(fd, 0);
    InstallSignalPipe();  // a second front end asking again changes nothing
    EXPECT_EQ(SignalPipeFd(), fd);
    Drain();
    EXPECT_FALSE(Readable(fd));

    const std::vector<int> sent = {SIGUSR1, SIGHUP, SIGTERM, SIGINT, SIGUSR1};
    for (int s : sent) ASSERT_EQ(raise(s), 0);  // the process survives: all are caught
    EXPECT_TRUE(Readable(fd));
    std::vector<int> taken;
    for (int s = TakeSignal(); s != 0; s = TakeSignal()) taken.push_back(s);
    EXPECT_EQ(taken, sent);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(TakeSignal(), 0);
}

TEST(SignalPipe, FullPipeDropsSignalsWithoutBlockingOrTouchingErrno) {
    Install();
    Drain();
    // Far more signals than the pipe holds: a blocking write in the handler would hang here.
    const int capacity = fcntl(SignalPipeFd(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    int raised = 0;
    for (; raised < capacity + 100; ++raised) {
        errno = EDOM;
        raise(SIGUSR1);
        ASSERT_EQ(errno, EDOM) << "after " << raised;  // the handler keeps the caller's errno
    }
    int taken = 0;
    while (TakeSignal() == SIGUSR1) ++taken;
    EXPECT_EQ(taken, capacity);
    EXPECT_EQ(TakeSignal(), 0);
    // Still working after overflowing.
    raise(SIGHUP);
    EXPECT_EQ(TakeSignal(), SIGHUP);
}

}  // namespace
