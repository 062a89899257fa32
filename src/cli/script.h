#pragma once
// The headless tool's event scripts are the instrument's (gesture tapes are scripts too); the
// names stay reachable here for the tool's commands.
#include "instrument/script.h"

namespace kv::cli {
using kv::commandName;
using kv::findSoundFilesBeside;
using kv::kMaxScriptBytes;
using kv::kMaxScriptSample;
using kv::kScriptTapeVersion;
using kv::MouseButton;
using kv::parseScript;
using kv::parseScriptTime;
using kv::Script;
using kv::ScriptCommand;
using kv::ScriptEvent;
using kv::ScriptEvents;
using kv::shownToken;
} // namespace kv::cli
