// Signals turned into events: SIGUSR1 runs DownLoad; SIGINT, SIGTERM and SIGHUP end the
// program, but never in the middle of a procedure (they wait until it has returned).
#pragma once

#include <csignal>

// Installs the handlers. Each signal received is written to a pipe.
void InstallSignalPipe();
// While on, a stop signal (SIGINT, SIGTERM, SIGHUP) that arrives outside a running procedure
// ends the program at once with status 128 + signal, saying so on standard error: for the
// stretches in which nothing reads the pipe, such as a scan waiting for a hung drive. During a
// procedure it still goes to the pipe.
void SetStopAtOnce(bool on);
// The pipe's read end: readable when a signal is waiting (for a QSocketNotifier or poll()).
int SignalPipeFd();
// The next waiting signal number, or 0 when none. Never blocks.
int TakeSignal();
