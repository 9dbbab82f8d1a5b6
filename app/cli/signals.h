// Signals turned into events: SIGUSR1 runs DownLoad; every other signal that would end the
// process either asks the program to end, and is held until no procedure runs, or only reports
// on a file the program writes, and is ignored. Nothing cuts a download short.
//
// Held: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,
// SIGSTKFLT and the real-time signals SIGRTMIN to SIGRTMAX.
// Ignored: SIGPIPE, SIGXFSZ and SIGIO; the write that raised them fails instead (EPIPE, EFBIG).
// Left alone: the fault signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) keep
// their default action, which ends the process: after a fault in the program nothing it would
// still send to a drive can be trusted.
// A signal ignored when the program starts (nohup, a background job) stays ignored.
#pragma once

#include <csignal>

// Ignores the signals that only report on a file; first thing at start-up, so that no output,
// not even --help's, can end the process.
void IgnoreReportingSignals();
// Whether the signal is one of those held (it asks the program to end).
bool IsHeldSignal(int signo);
// Installs the handlers of SIGUSR1 and the held signals. Each signal received is written to a
// pipe.
void InstallSignalPipe();
// While on, a held signal that arrives outside a running procedure ends the program at once with
// status 128 + signal, saying so on standard error: for the stretches in which nothing reads the
// pipe, such as a scan waiting for a hung drive. During a procedure it still goes to the pipe.
void SetStopAtOnce(bool on);
// The pipe's read end: readable when a signal is waiting (for a QSocketNotifier or poll()).
int SignalPipeFd();
// The next waiting signal number, or 0 when none. Never blocks.
int TakeSignal();
