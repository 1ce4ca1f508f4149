// A whole file as bytes, for the host tools; nothing when it cannot be read.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

inline std::optional<std::vector<uint8_t>> read_whole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
