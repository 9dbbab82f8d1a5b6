// The dialog front end: the Qt application and the main window around CDISCFLASHDlg.
#pragma once

#include "system/ports.h"

// Runs the dialog: creates the application object when there is none, plugs the window in as
// rt().ui (through wrapUi when given: it may wrap the window, e.g. to trace; the wrapper stays
// the caller's), runs OnInitDialog and the modal loop. Returns the exit code: 0 when start-up
// refused to go on, else what the dialog was ended with. The first DownLoad uses
// rt().commandLineFile when it names a file.
int RunDialog(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*));
