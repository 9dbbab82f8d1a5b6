// The dialog front end: the Qt application and the main window around CDISCFLASHDlg.
#pragma once

#include "system/ports.h"

// Runs the dialog: creates the application object when there is none, plugs the window in as
// rt().ui (through wrapUi when given: it may wrap the window, e.g. to trace; the wrapper stays
// the caller's), runs OnInitDialog and the modal loop. Returns the exit code: 0 when start-up
// refused to go on, else what the dialog was ended with.
// firmwarePath: the file for the first DownLoad; null takes the first plain argument of argv
// (one that does not begin with '-', or the one after "--").
int RunDialog(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*),
              const char* firmwarePath = nullptr);
