// Start-up shared by the dialog and the console front end: options, ports, trace.
#pragma once

class UiPort;

// The dialog's entry, given by main when the program is built with its window. It plugs
// wrapUi(window) into the runtime, runs the dialog and returns the exit code.
using DialogEntry = int (*)(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*));

int RunProgram(int argc, char** argv, DialogEntry dialog);
