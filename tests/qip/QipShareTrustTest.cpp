#include <gtest/gtest.h>

#include "qip/QipShareTrust.h"

// The rule both sides of the shared port apply to the user at the other end.
TEST(QipShareTrust, BelievesRootItselfAndTheServiceAccountButNeverTheOverflowUser) {
    const uid_t me = 1000, service = 998, overflow = 65534;
    EXPECT_TRUE(QipShareTrust::IsTrusted(0, me, service, overflow));
    EXPECT_TRUE(QipShareTrust::IsTrusted(me, me, service, overflow));
    EXPECT_TRUE(QipShareTrust::IsTrusted(service, me, service, overflow));
    EXPECT_FALSE(QipShareTrust::IsTrusted(1001, me, service, overflow));
    // Without the account (the package not installed) its number is nobody's in particular.
    EXPECT_FALSE(QipShareTrust::IsTrusted(service, me, -1, overflow));
    // Inside the service's user namespace every outside user appears as the overflow uid: a
    // program running as that uid itself must still not take them for its own.
    EXPECT_FALSE(QipShareTrust::IsTrusted(overflow, overflow, -1, overflow));
}
