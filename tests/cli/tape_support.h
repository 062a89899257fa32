#pragma once
// What the gesture tape tests share: a folder of their own and whole files as text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kv::cli {

/// A fresh folder `name`_PID under the test's temporary folder.
inline std::filesystem::path tapeTestFolder(const std::string& name) {
    const std::filesystem::path dir =
        std::filesystem::path(testing::TempDir()) / (name + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

/// The bytes of a file ("" when it cannot be read).
inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace kv::cli
