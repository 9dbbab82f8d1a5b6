#include <gtest/gtest.h>

#include "scsi/transport.h"
#include "support/fake_backend.h"
#include "support/test_env.h"

TEST(TransportSkeleton, ZeroCfIsRefused) {
    TestEnv env;
    FakeBackend b;
    SetBackends(&b, nullptr);
    ASSERT_EQ(InitTransport(), 1);
    uint8_t cdb[12] = {0xCF};
    EXPECT_EQ(ExecCommand(cdb, nullptr, 0), 0);
    EXPECT_TRUE(b.commands.empty());
}
