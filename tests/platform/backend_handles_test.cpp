#include <gtest/gtest.h>

#include "platform/backend_handles.h"

namespace kv::platform {
namespace {

struct FakeStream {
    uint64_t handle = 0;
};

TEST(HandlePool, HandlesAreNeverZeroNorReused) {
    HandlePool<FakeStream> pool;
    const uint64_t a = pool.add(std::make_unique<FakeStream>());
    const uint64_t b = pool.add(std::make_unique<FakeStream>());
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    ASSERT_NE(pool.take(a), nullptr);
    EXPECT_EQ(pool.find(a), nullptr);
    EXPECT_EQ(pool.take(a), nullptr) << "closing twice is harmless";
    const uint64_t c = pool.add(std::make_unique<FakeStream>());
    EXPECT_NE(c, a);
    EXPECT_NE(pool.find(b), nullptr);
    EXPECT_EQ(pool.takeAll().size(), 2u);
    EXPECT_EQ(pool.find(c), nullptr);
}

TEST(OpenBackoff, OnlyTheDeviceThatFailedFailsFast) {
    OpenBackoff backoff;
    EXPECT_FALSE(backoff.active(2));
    backoff.failed(2);
    EXPECT_TRUE(backoff.active(2));
    EXPECT_FALSE(backoff.active(-1));
}

} // namespace
} // namespace kv::platform
