#include "persistence/resources.h"

namespace kv {

std::span<const unsigned char> findResource(std::string_view name) {
    for (const ResourceEntry& e : builtInResources())
        if (name == e.name) return {e.data, e.size};
    return {};
}

} // namespace kv
