// Signals turned into events: SIGUSR1 runs DownLoad; SIGINT, SIGTERM and SIGHUP end the
// program, but never in the middle of a procedure (they wait until it has returned).
#pragma once

#include <csignal>

// Installs the handlers. Each signal received is written to a pipe.
void InstallSignalPipe();
// The pipe's read end: readable when a signal is waiting (for a QSocketNotifier or poll()).
int SignalPipeFd();
// The next waiting signal number, or 0 when none. Never blocks.
int TakeSignal();
