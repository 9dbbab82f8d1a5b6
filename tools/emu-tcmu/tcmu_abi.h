/* The layout of the kernel's TCMU mailbox and command entries, taken from
 * linux/target_core_user.h by tcmu_abi.c: that header is C only (it does not compile as C++). */
#ifndef DISCFLASH_TCMU_ABI_H
#define DISCFLASH_TCMU_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct TcmuAbi {
    /* mailbox */
    size_t mailboxSize, versionAt, flagsAt, ringOffsetAt, ringSizeAt, headAt, tailAt;
    uint16_t mailboxVersion, capOutOfOrder, capReadLength;
    /* entries */
    size_t headerSize, cmdIdAt, uflagsAt, iovCountAt, cdbOffsetAt, iovsAt, entrySize;
    size_t iovSize, iovBaseAt, iovLengthAt;
    size_t statusAt, readLengthAt, senseAt, senseSize;
    uint32_t opMask, opPad, opCmd, opTmr;
    uint8_t uflagUnknownOp, uflagReadLength;
};

extern const struct TcmuAbi kTcmu;

#ifdef __cplusplus
}
#endif

#endif
