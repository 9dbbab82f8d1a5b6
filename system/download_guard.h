// Whether a download procedure is running, for the signal handling of the front ends: SIGINT,
// SIGTERM and SIGHUP are deferred while it is set, so that nothing cuts a download short.
// Safe to read from a signal handler.
#pragma once

bool ProcedureRunning();
void SetProcedureRunning(bool running);
