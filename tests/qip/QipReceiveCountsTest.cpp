#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <string>

#include "qip/QipReceiveCounts.h"

// One hostile host sends every device type and id it may, each id as long as a datagram
// allows: what the counts keep must stay within their byte bound, not grow with the ids.
TEST(ReceiveCounts, AFloodOfLongDistinctIdsStaysWithinTheByteBound) {
    const size_t before = mallinfo2().uordblks;
    if (before == 0) GTEST_SKIP() << "the allocator does not report its use (sanitizer build)";
    QipReceiveCounts receiveCounts;
    std::string id(1400, 'x');
    for (size_t type = 0; type < QipReceiveCounts::cMaxTypes; ++type) {
        const std::string typeName = "Unwanted-" + std::to_string(type) + std::string(1000, 't');
        for (size_t i = 0; i < QipReceiveCounts::cMaxIdsPerType; ++i) {
            char prefix[17];
            snprintf(prefix, sizeof prefix, "%015zu-", type * 100000 + i);
            id.replace(0, 16, prefix);
            receiveCounts.CountHello(typeName, id, false);
        }
    }
    const size_t grown = mallinfo2().uordblks - before;
    EXPECT_LT(grown, 2 * QipReceiveCounts::cMaxStoredBytes);

    const QipReceiveCounts::Counts counts = receiveCounts.GetCounts();
    EXPECT_EQ(counts.mHellos, QipReceiveCounts::cMaxTypes * QipReceiveCounts::cMaxIdsPerType);
    EXPECT_TRUE(counts.mIsCapped);
    size_t ids = 0;
    for (const auto& type : counts.mDeviceIdsByType) ids += type.second;
    EXPECT_GT(ids, 10000u);  // what fits is still told apart
    EXPECT_EQ(counts.mDeviceIdsByType.begin()->second, QipReceiveCounts::cMaxIdsPerType);
}
