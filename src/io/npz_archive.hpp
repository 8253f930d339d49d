#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "io/npy_format.hpp"

namespace vantel::io {

// The bytes of an archive with the single stored entry key + ".npy".
std::string buildNpzArchive(const std::string& key, const std::vector<std::uint64_t>& shape,
                            const std::vector<double>& data);

// Writes (replacing) an archive with the single stored entry key + ".npy".
void saveNpzArray(const std::filesystem::path& path, const std::string& key,
                  const std::vector<std::uint64_t>& shape, const std::vector<double>& data);

// Reads entry key + ".npy" of any archive without ZIP64 records (stored or deflated entries).
NpyArray loadNpzArray(const std::filesystem::path& path, const std::string& key);

std::string readFileBytes(const std::filesystem::path& path);

}  // namespace vantel::io
