#pragma once
// The output device ID: one integer naming a sound-card output and the channels a module sends to.
//   −555          no output
//   −1 … 98       both channels of device n (−1 = the system's default output)
//   99 … 198      left channel of device n − 100
//   199 and above right channel of device n − 200
#include <string>
#include <string_view>

namespace kv {

constexpr int kNoDevice = -555;  // "no selection": the module is not sounded
constexpr int kWaveMapper = -1;  // the system's default output device
constexpr int kLeftOffset = 100; // added to a device number for its left channel
constexpr int kRightOffset = 200;

/// A decoded output device ID.
struct OutputTarget {
    int device = kWaveMapper; // −1 = default output, 0.. = device number
    bool left = true;
    bool right = true;
    bool bothChannels() const { return left && right; }
};

/// Decoding is by range alone: below 99 both channels, below 199 left, the rest right.
OutputTarget decodeOutputDeviceID(int code);

/// The ID for `device` with the given channels (left and right alone, or both).
int encodeOutputDeviceID(int device, bool left, bool right);

/// Text form for patch files: "%ld %s" of the device number and "(L+R)", "(L)" or "(R)".
std::string formatOutputDeviceID(int code);

/// Reads the text form: the leading run of "0123456789-" as a decimal number n, then n when the
/// text contains "(L+R)", n + 100 for "(L)", n + 200 for "(R)", else −555. A number that does not
/// fit the ID also gives −555.
int parseOutputDeviceID(std::string_view text);

} // namespace kv
