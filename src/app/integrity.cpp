#include "app/integrity.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kv::app {

namespace {

/// Reads an unsigned number of `size` bytes at `at` in the file's byte order.
uint64_t readNumber(const unsigned char* at, int size, bool bigEndian) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        const int index = bigEndian ? i : size - 1 - i;
        value = (value << 8) | at[index];
    }
    return value;
}

} // namespace

bool checkProgramFile(const std::string& path, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reason = "The program file " + path + " is a folder.";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = "The program file " + path + " cannot be read.";
        return false;
    }
    unsigned char header[64] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    const std::streamsize got = in.gcount();
    if (got < 16 || std::memcmp(header,
                                "\x7f"
                                "ELF",
                                4) != 0) {
        reason = "The program file " + path + " is not a valid program (no ELF header).";
        return false;
    }
    const int elfClass = header[4]; // 1: 32-bit, 2: 64-bit
    const int data = header[5];     // 1: little-endian, 2: big-endian
    if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2) || header[6] != 1) {
        reason = "The program file " + path + " has a damaged ELF header.";
        return false;
    }
    const bool wide = elfClass == 2;
    const bool big = data == 2;
    const std::streamsize headerSize = wide ? 64 : 52;
    if (got < headerSize) {
        reason = "The program file " + path + " is shorter than its ELF header.";
        return false;
    }
    const uint64_t shoff =
        wide ? readNumber(header + 0x28, 8, big) : readNumber(header + 0x20, 4, big);
    const uint64_t ehsize = readNumber(header + (wide ? 0x34 : 0x28), 2, big);
    const uint64_t shentsize = readNumber(header + (wide ? 0x3A : 0x2E), 2, big);
    uint64_t shnum = readNumber(header + (wide ? 0x3C : 0x30), 2, big);
    if (ehsize != static_cast<uint64_t>(headerSize)) {
        reason = "The program file " + path + " has a damaged ELF header.";
        return false;
    }
    // Many sections: the count lives in the first section header (at least that one must exist).
    if (shoff != 0 && shnum == 0) shnum = 1;
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        reason = "The program file " + path + " cannot be read.";
        return false;
    }
    if (shoff != 0 && (shentsize == 0 || shoff > size || shnum * shentsize > size - shoff)) {
        reason = "The program file " + path + " is incomplete: it is shorter than its " +
                 "section-header table says.";
        return false;
    }
    return true;
}

std::string ownProgramPath() {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

} // namespace kv::app
