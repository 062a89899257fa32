#include "modules/output_device_id.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(OutputDeviceId, DecodesByRangeAlone) {
    struct Case {
        int code, device;
        bool left, right;
    } cases[] = {
        {-1, -1, true, true},   {0, 0, true, true},    {98, 98, true, true},
        {99, -1, true, false},  {102, 2, true, false}, {198, 98, true, false},
        {199, -1, false, true}, {200, 0, false, true}, {305, 105, false, true},
    };
    for (const Case& c : cases) {
        const OutputTarget t = decodeOutputDeviceID(c.code);
        EXPECT_EQ(t.device, c.device) << c.code;
        EXPECT_EQ(t.left, c.left) << c.code;
        EXPECT_EQ(t.right, c.right) << c.code;
        EXPECT_EQ(encodeOutputDeviceID(t.device, t.left, t.right), c.code);
    }
}

TEST(OutputDeviceId, FormatsAsStoredInPatches) {
    EXPECT_EQ(formatOutputDeviceID(kNoDevice), "-555 (L+R)");
    EXPECT_EQ(formatOutputDeviceID(-1), "-1 (L+R)");
    EXPECT_EQ(formatOutputDeviceID(99), "-1 (L)");
    EXPECT_EQ(formatOutputDeviceID(199), "-1 (R)");
    EXPECT_EQ(formatOutputDeviceID(102), "2 (L)");
    EXPECT_EQ(formatOutputDeviceID(98), "98 (L+R)");
}

TEST(OutputDeviceId, ParsesTheTextForm) {
    EXPECT_EQ(parseOutputDeviceID("-1 (R)"), 199);
    EXPECT_EQ(parseOutputDeviceID("-1 (L)"), 99);
    EXPECT_EQ(parseOutputDeviceID("-1 (L+R)"), -1);
    EXPECT_EQ(parseOutputDeviceID("-555 (L+R)"), kNoDevice);
    EXPECT_EQ(parseOutputDeviceID("2 (L)"), 102);
    EXPECT_EQ(parseOutputDeviceID("7(R)"), 207);
    // Without a channel mark there is no output.
    EXPECT_EQ(parseOutputDeviceID("3"), kNoDevice);
    EXPECT_EQ(parseOutputDeviceID(""), kNoDevice);
    // A missing number reads as 0; a number the ID cannot hold gives no output.
    EXPECT_EQ(parseOutputDeviceID("(L)"), 100);
    EXPECT_EQ(parseOutputDeviceID("99999999999999999999 (L+R)"), kNoDevice);
    EXPECT_EQ(parseOutputDeviceID("2147483647 (R)"), kNoDevice);
    // Every value a module can hold survives the round trip.
    for (int code = -1; code < 300; ++code)
        EXPECT_EQ(parseOutputDeviceID(formatOutputDeviceID(code)), code) << code;
}

} // namespace
} // namespace kv
