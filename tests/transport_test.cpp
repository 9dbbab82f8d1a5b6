#include <gtest/gtest.h>

#include "scsi/transport.h"
#include "support/test_env.h"

TEST(CdbLength, ByOpcodeGroup) {
    EXPECT_EQ(CdbLengthForOpcode(0x00), 6);
}
