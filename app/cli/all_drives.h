// --all: the image into every drive of the program's family at once, one batch run of this
// program per drive.
#pragma once

#include <string>

#include "app/cli/front_end.h"

struct Options;

// Why --all may not run under this program name (a generic one, which takes any family); empty
// when it may.
std::string AllDrivesRefusal();

// Scans as a batch run does, starts one batch run per drive of the group, each limited to its
// drive by --device, forwards their lines with the drive's node in front, prints a summary and
// returns the exit status. The ports must be plugged and the signal pipe installed.
int RunAllDrives(const Options& o, int argc, char** argv, UiPort* (*wrapUi)(UiPort*));
