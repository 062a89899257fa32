#pragma once
// Reading sound files for scripted inputs lives with the instrument; the names stay reachable
// here for the tool's commands.
#include "instrument/wav_reader.h"

namespace kv::cli {
using kv::decodeWavMono;
using kv::readWavMono;
} // namespace kv::cli
