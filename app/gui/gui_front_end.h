// The dialog front end: the Qt application and the main window around CDISCFLASHDlg.
#pragma once

#include "system/ports.h"

// Runs the dialog: creates the application object when there is none, plugs the window in as
// rt().ui (through wrapUi when given: it may wrap the window, e.g. to trace; the wrapper stays
// the caller's), runs OnInitDialog and the modal loop. Returns the exit code: 0 when start-up
// refused to go on, else what the dialog was ended with; 2 when the window cannot open with raised
// rights (SecureMode) from a directory others may change. The first DownLoad uses
// rt().commandLineFile when it names a file. Qt is given argv[0] only. Without a display that
// answers, the process ends at once with status 2.
int RunDialog(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*));
