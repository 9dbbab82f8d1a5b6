// Start-up shared by the dialog and the console front end.
#pragma once

int RunProgram(int argc, char** argv);
