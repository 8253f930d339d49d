#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vantel::io {

// Where an entry lies, as recorded in the central directory.
struct ZipEntryInfo {
    std::string name;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressed_size = 0;
    std::uint32_t uncompressed_size = 0;
    std::uint32_t local_header_offset = 0;
};

// First central-directory record whose name equals `name` byte for byte.
ZipEntryInfo findZipEntry(const std::string& archive, const std::string& name);

// The entry's uncompressed bytes (stored or raw deflate), checked against its CRC-32.
std::string readZipEntry(const std::string& archive, const ZipEntryInfo& info);

// The archive bytes of one stored entry.
std::string buildSingleEntryZip(const std::string& name, const std::string& blob);

}  // namespace vantel::io
