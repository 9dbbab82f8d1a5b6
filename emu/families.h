// The programs of the drive families that answer more than the common commands. Each lives in
// its own file (emu/drive_*.cpp); emu/families.cpp says which program identifier runs which.
#pragma once

#include "emu/emulated_drive.h"

// LD3410, LD3411, LD3520: no loader; the running firmware takes the image in WRITE BUFFER pieces,
// stores it on the mode-5 piece, restarts and reports the identity the image carries.
bool RunRomImageDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
// LD3521, LD4631, LD4740, LD4741, LD4742: a main program and a loader that takes the image in
// WRITE BUFFER pieces and stores it on an empty WRITE BUFFER of buffer 1.
bool RunLoaderSwitchDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
// LD4630 and the DVD-ROM families (LD5850, LD5851, LD5852, LD5860, LD5861, LD5862, LD5871): a
// loader that takes the image with WRITE BUFFER in mode 5 at the CDB's offset and stores it after
// the piece of buffer id 1, or when it is left with an image that had no such piece; READ BUFFER of
// buffer 1 returns the image from byte 32 on.
bool RunImageLoaderDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
// LDMULTI: microcode pieces (0xEA) and a store (0xF5) that takes its time.
bool RunMicrocodeDrive(DriveState& drive, const DriveCommand& command, DriveReply& reply);
