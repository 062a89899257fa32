// Open-on-use: the engine asks, the service opens and closes, and every device opened is closed
// exactly once, also when the engine gives a device up while it is being opened.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "devices/open_on_use.h"

namespace kv {
namespace {

struct FakeDevice {
    explicit FakeDevice(int number) : number(number) {}
    const int number;
    int32_t uses = 0;
    bool closed = false;
};

class OpenOnUseTest : public ::testing::Test {
  protected:
    OpenOnUse<FakeDevice> set{-1};
    std::vector<int> opened, closed;
    std::function<void(int)> duringOpen; // the engine running while a device opens

    void service(bool onlyIfAsked = false) {
        set.service(
            [&](int number) {
                opened.push_back(number);
                if (duringOpen) duringOpen(number);
                return number == 7 ? nullptr : std::make_unique<FakeDevice>(number); // 7 fails
            },
            [&](FakeDevice& d) {
                EXPECT_FALSE(d.closed);
                d.closed = true;
                closed.push_back(d.number);
            },
            onlyIfAsked);
    }
    std::vector<bool> cycle(std::initializer_list<int> numbers) {
        std::vector<bool> used;
        set.beginCycle();
        for (int n : numbers)
            used.push_back(set.use(n));
        set.endCycle();
        return used;
    }
};

TEST_F(OpenOnUseTest, AsksOnceOpensOnServiceAndGivesUpUnusedDevices) {
    EXPECT_FALSE(set.use(3)) << "no cycle open";
    service(true);
    EXPECT_TRUE(opened.empty()) << "nothing asked";

    EXPECT_EQ(cycle({3, 3, -1, 127, -2}), (std::vector<bool>{false, false, false, false, false}));
    service(true);
    EXPECT_EQ(opened, (std::vector<int>{-1, 3})) << "each once; 127 and -2 beyond the slots";
    EXPECT_EQ(set.openDevices(), (std::vector<int>{-1, 3}));
    EXPECT_EQ(set.find(3)->number, 3) << "readable as soon as it is open";
    EXPECT_EQ(cycle({3, -1}), (std::vector<bool>{true, true}));

    EXPECT_EQ(cycle({3}), std::vector<bool>{true});
    service(true);
    EXPECT_EQ(closed, std::vector<int>{-1}) << "not used in that cycle: closed";
    EXPECT_EQ(set.find(-1), nullptr);
    EXPECT_TRUE(set.withOpen(3, [](const FakeDevice* d) { return d != nullptr; }));

    // A device that fails is tried once per cycle that names it; one no longer named is not.
    cycle({3, 7});
    service(true);
    cycle({3, 7});
    service(true);
    cycle({3});
    service(true);
    EXPECT_EQ(std::count(opened.begin(), opened.end(), 7), 2);

    set.closeAll([&](FakeDevice& d) { closed.push_back(d.number); });
    EXPECT_EQ(closed, (std::vector<int>{-1, 3}));
    EXPECT_TRUE(set.openDevices().empty());
}

TEST_F(OpenOnUseTest, ADeviceGivenUpWhileItOpensIsClosed) {
    cycle({2});
    duringOpen = [&](int) { cycle({}); }; // the engine stops naming it meanwhile
    service();
    duringOpen = nullptr;
    EXPECT_EQ(closed, std::vector<int>{2});
    EXPECT_TRUE(set.openDevices().empty());
    EXPECT_EQ(cycle({2}), std::vector<bool>{false}) << "asked for again";

    // Every device given up since a pass (ready, taken, or asked for) goes with closeAll.
    service();
    cycle({2, 4});
    service();
    set.closeAll([&](FakeDevice& d) { closed.push_back(d.number); });
    service();
    EXPECT_EQ(closed, (std::vector<int>{2, 2, 4}));
    EXPECT_TRUE(set.openDevices().empty());
}

// take is use that gives the device; held gives only a device the engine has taken (an output
// read back must not keep a device open that nothing writes to).
TEST_F(OpenOnUseTest, TakeGivesTheDeviceAndHeldOnlyWhatTheEngineTook) {
    set.beginCycle();
    EXPECT_EQ(set.take(5), nullptr) << "asked for";
    set.endCycle();
    service();
    set.beginCycle();
    EXPECT_EQ(set.held(5), nullptr) << "open, not taken yet";
    FakeDevice* d = set.take(5);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->number, 5);
    EXPECT_EQ(set.held(5), d);
    EXPECT_EQ(set.held(-2), nullptr);
    EXPECT_EQ(set.held(127), nullptr);
    set.endCycle();
    cycle({});
    service();
    EXPECT_EQ(closed, std::vector<int>{5});
    EXPECT_EQ(set.held(5), nullptr);
}

// The engine names devices at random while the service thread opens and closes them and a
// window lists them; every device opened is closed exactly once. Run under ThreadSanitizer.
TEST(OpenOnUseThreads, EngineServiceAndListerShareNoLockYetLoseNoDevice) {
    OpenOnUse<FakeDevice> set{0};
    std::atomic<int> opens{0}, closes{0};
    std::atomic<bool> done{false};
    auto open = [&](int number) {
        opens.fetch_add(1);
        return std::make_unique<FakeDevice>(number);
    };
    auto close = [&](FakeDevice& d) {
        EXPECT_FALSE(d.closed);
        d.closed = true;
        closes.fetch_add(1);
    };
    std::thread service([&] {
        while (!done.load())
            set.service(open, close, true);
    });
    std::thread lister([&] {
        while (!done.load()) {
            (void)set.openDevices();
            (void)set.withOpen(1, [](const FakeDevice* d) { return d ? d->number : -1; });
        }
    });
    std::mt19937 random(12);
    int used = 0;
    for (int c = 0; c < 20000; ++c) {
        set.beginCycle();
        const int a = static_cast<int>(random() % 4), b = static_cast<int>(random() % 4);
        for (int n : {a, b, 1})
            if (n != 3 && set.use(n)) {
                ++used;
                EXPECT_FALSE(set.find(n)->closed);
            }
        set.endCycle();
        if (c % 64 == 0) std::this_thread::yield();
    }
    done = true;
    service.join();
    lister.join();
    set.closeAll(close);
    EXPECT_GT(used, 0);
    EXPECT_GT(opens.load(), 1);
    EXPECT_EQ(opens.load(), closes.load());
    EXPECT_TRUE(set.openDevices().empty());
}

} // namespace
} // namespace kv
