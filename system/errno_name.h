// The symbolic name of an errno value ("ENODEV"), as a Linux user looks it up.
#pragma once

#include <string>

// "ENODEV"; a number the C library has no name for comes back as "errno 1234".
std::string ErrnoName(int err);
// "ENODEV (No such device)".
std::string ErrnoText(int err);
