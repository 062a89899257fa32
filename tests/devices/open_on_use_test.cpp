#include <gtest/gtest.h>

#include "devices/open_on_use.h"

namespace kv {
namespace {

struct FakeDevice {
    explicit FakeDevice(int number) : number(number) {}
    const int number;
    int32_t uses = 0;
};

TEST(OpenOnUse, AsksOnceOpensOnServiceAndGivesUpUnusedDevices) {
    OpenOnUse<FakeDevice> set;
    bool asked = false;
    EXPECT_FALSE(set.use(3, asked)) << "no cycle open";
    EXPECT_FALSE(asked);

    set.beginCycle();
    EXPECT_FALSE(set.use(3, asked));
    EXPECT_TRUE(asked);
    EXPECT_FALSE(set.use(3, asked));
    EXPECT_FALSE(asked) << "asked for only once";

    auto work = set.takeWork();
    ASSERT_EQ(work.wanted, std::vector<int>{3});
    auto device = std::make_unique<FakeDevice>(3);
    EXPECT_TRUE(set.keep(3, true, device, work.epoch));
    EXPECT_EQ(device, nullptr);
    EXPECT_FALSE(set.endCycle()) << "opened in this cycle counts as used";
    EXPECT_TRUE(set.takeWork().wanted.empty());

    set.beginCycle();
    EXPECT_TRUE(set.use(3, asked));
    EXPECT_FALSE(set.endCycle());
    set.beginCycle();
    EXPECT_TRUE(set.endCycle()) << "not used in this cycle: given up";
    EXPECT_EQ(set.find(3), nullptr);
    EXPECT_EQ(set.takeWork().closing.size(), 1u);
}

TEST(OpenOnUse, ADeviceOpenedWhileAllWereClosedIsNotKept) {
    OpenOnUse<FakeDevice> set;
    bool asked = false;
    set.beginCycle();
    set.use(1, asked);
    const auto work = set.takeWork();
    EXPECT_TRUE(set.takeAll().empty());
    auto device = std::make_unique<FakeDevice>(1);
    EXPECT_FALSE(set.keep(1, true, device, work.epoch));
    EXPECT_NE(device, nullptr) << "handed back for the caller to close";
    EXPECT_TRUE(set.devices().empty());
}

} // namespace
} // namespace kv
