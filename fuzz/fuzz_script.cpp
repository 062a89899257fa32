// Event scripts of the headless tool: any bytes parse or give an error naming a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "instrument/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kv::Script script;
    std::string error;
    if (!kv::parseScript(text, script, error)) {
        if (error.rfind("line ", 0) != 0) std::abort();
        return 0;
    }
    uint64_t previous = 0;
    for (const kv::ScriptEvent& e : script.events) {
        if (e.sample < previous || e.sample > kv::kMaxScriptSample || e.line < 1) std::abort();
        previous = e.sample;
    }
    return 0;
}
