#pragma once
// Files compiled into the program: the strings files and the preset patches.
#include <cstddef>
#include <span>
#include <string_view>

namespace kv {

struct ResourceEntry {
    const char* name;          // file name, e.g. "Strings_Main.txt"
    const unsigned char* data; // file bytes
    std::size_t size;          // in bytes
};

/// Every built-in resource, in build order. Any thread.
std::span<const ResourceEntry> builtInResources();

/// The bytes of the resource with this file name (exact), or an empty span. Any thread.
std::span<const unsigned char> findResource(std::string_view name);

} // namespace kv
