// The programs of the drive families that answer more than the common commands. Each lives in
// its own file (emu/drive_*.cpp); emu/families.cpp says which program identifier runs which.
#pragma once

#include "emu/emulated_drive.h"

// LD3521, LD4631, LD4740, LD4741, LD4742: a main program and a loader that takes the image in
// WRITE BUFFER pieces and stores it on an empty WRITE BUFFER of buffer 1.
bool RunLoaderSwitchDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
// LDMULTI: microcode pieces (0xEA) and a store (0xF5) that takes its time.
bool RunMicrocodeDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
