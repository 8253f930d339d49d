#include "io/zip_archive.hpp"

#include <algorithm>
#include <stdexcept>

#include <zlib.h>

namespace vantel::io {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
// The end record plus the largest comment it can carry, with some slack.
constexpr std::size_t kEndRecordSearchWindow = 0x10800;
constexpr std::uint16_t kZip64Count = 0xFFFF;
constexpr std::uint32_t kZip64Value = 0xFFFFFFFF;
// Deflate cannot expand data by more than about 1032:1.
constexpr std::uint64_t kMaximumInflateRatio = 1032;
constexpr std::uint16_t kVersion20 = 20;
constexpr std::uint16_t kDate1980 = 0x0021;

std::uint16_t read16(const std::string& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                      static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

std::uint32_t read32(const std::string& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(read16(bytes, offset)) |
           static_cast<std::uint32_t>(read16(bytes, offset + 2)) << 16;
}

void append16(std::string& bytes, std::uint16_t value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
}

void append32(std::string& bytes, std::uint32_t value) {
    append16(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
    append16(bytes, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t crcOf(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::size_t findEndRecord(const std::string& archive) {
    if (archive.size() < kEndRecordSize) {
        throw std::runtime_error("npz: not a valid ZIP archive (no EOCD record)");
    }
    const std::size_t lowest = archive.size() - std::min(archive.size(), kEndRecordSearchWindow);
    for (std::size_t position = archive.size() - kEndRecordSize;; --position) {
        if (read32(archive, position) == kEndRecordSignature) {
            return position;
        }
        if (position == lowest) {
            break;
        }
    }
    throw std::runtime_error("npz: not a valid ZIP archive (no EOCD record)");
}

std::string inflateRaw(const std::string& compressed, std::uint32_t uncompressedSize) {
    std::string output(uncompressedSize, '\0');
    // zlib refuses null buffers even when they are empty.
    char emptyBuffer = 0;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw std::runtime_error("npz: inflateInit2 failed");
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.empty() ? &emptyBuffer : compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.empty() ? &emptyBuffer : &output[0]);
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    // A stream that ends early would leave zero bytes standing in for data.
    if (status != Z_STREAM_END || produced != uncompressedSize) {
        throw std::runtime_error("npz: zlib inflate failed on entry");
    }
    return output;
}

}  // namespace

ZipEntryInfo findZipEntry(const std::string& archive, const std::string& name) {
    const std::size_t endRecord = findEndRecord(archive);
    const std::uint16_t totalEntries = read16(archive, endRecord + 10);
    const std::uint32_t directoryOffset = read32(archive, endRecord + 16);
    if (totalEntries == kZip64Count || directoryOffset == kZip64Value) {
        throw std::runtime_error("npz: ZIP64 archives are not supported");
    }
    std::uint64_t position = directoryOffset;
    for (std::uint32_t i = 0; i < totalEntries; ++i) {
        if (position + kCentralHeaderSize > archive.size() || read32(archive, position) != kCentralHeaderSignature) {
            throw std::runtime_error("npz: malformed ZIP central directory");
        }
        const std::uint16_t nameLength = read16(archive, position + 28);
        const std::uint16_t extraLength = read16(archive, position + 30);
        const std::uint16_t commentLength = read16(archive, position + 32);
        if (position + kCentralHeaderSize + nameLength > archive.size()) {
            throw std::runtime_error("npz: malformed ZIP central directory");
        }
        if (archive.compare(position + kCentralHeaderSize, nameLength, name) == 0) {
            ZipEntryInfo info;
            info.name = name;
            info.method = read16(archive, position + 10);
            info.crc32 = read32(archive, position + 16);
            info.compressed_size = read32(archive, position + 20);
            info.uncompressed_size = read32(archive, position + 24);
            info.local_header_offset = read32(archive, position + 42);
            if (info.compressed_size == kZip64Value || info.uncompressed_size == kZip64Value ||
                info.local_header_offset == kZip64Value) {
                throw std::runtime_error("npz: ZIP64 entry '" + name + "' is not supported");
            }
            return info;
        }
        position += kCentralHeaderSize + nameLength + extraLength + commentLength;
    }
    throw std::runtime_error("npz: entry '" + name + "' not found in archive");
}

std::string readZipEntry(const std::string& archive, const ZipEntryInfo& info) {
    const std::uint64_t headerStart = info.local_header_offset;
    if (headerStart + kLocalHeaderSize > archive.size() || read32(archive, headerStart) != kLocalHeaderSignature) {
        throw std::runtime_error("npz: malformed ZIP local file header");
    }
    const std::uint64_t dataStart =
        headerStart + kLocalHeaderSize + read16(archive, headerStart + 26) + read16(archive, headerStart + 28);
    if (dataStart + info.compressed_size > archive.size()) {
        throw std::runtime_error("npz: ZIP entry data runs past end of file");
    }
    const std::string compressed = archive.substr(dataStart, info.compressed_size);

    std::string entry;
    if (info.method == 0) {
        if (info.uncompressed_size != info.compressed_size) {
            throw std::runtime_error("npz: stored ZIP entry has unequal sizes");
        }
        entry = compressed;
    } else if (info.method == 8) {
        if (info.uncompressed_size > (static_cast<std::uint64_t>(info.compressed_size) + 1) * kMaximumInflateRatio) {
            throw std::runtime_error("npz: ZIP entry claims an uncompressed size its compressed data cannot hold");
        }
        entry = inflateRaw(compressed, info.uncompressed_size);
    } else {
        throw std::runtime_error("npz: unsupported ZIP compression method " + std::to_string(info.method));
    }
    if (crcOf(entry) != info.crc32) {
        throw std::runtime_error("npz: CRC-32 mismatch in entry '" + info.name + "'");
    }
    return entry;
}

std::string buildSingleEntryZip(const std::string& name, const std::string& blob) {
    if (name.size() > 0xFFFF || blob.size() >= kZip64Value) {
        throw std::runtime_error("npz: entry '" + name + "' is too large for a ZIP archive without ZIP64");
    }
    const auto nameLength = static_cast<std::uint16_t>(name.size());
    const auto blobLength = static_cast<std::uint32_t>(blob.size());
    const std::uint32_t crc = crcOf(blob);

    std::string archive;
    append32(archive, kLocalHeaderSignature);
    append16(archive, kVersion20);
    append16(archive, 0);  // flags
    append16(archive, 0);  // stored
    append16(archive, 0);  // time
    append16(archive, kDate1980);
    append32(archive, crc);
    append32(archive, blobLength);
    append32(archive, blobLength);
    append16(archive, nameLength);
    append16(archive, 0);  // extra length
    archive += name;
    archive += blob;

    const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
    append32(archive, kCentralHeaderSignature);
    append16(archive, kVersion20);  // made by
    append16(archive, kVersion20);  // needed
    append16(archive, 0);           // flags
    append16(archive, 0);           // stored
    append16(archive, 0);           // time
    append16(archive, kDate1980);
    append32(archive, crc);
    append32(archive, blobLength);
    append32(archive, blobLength);
    append16(archive, nameLength);
    append16(archive, 0);  // extra length
    append16(archive, 0);  // comment length
    append16(archive, 0);  // disk number start
    append16(archive, 0);  // internal attributes
    append32(archive, 0);  // external attributes
    append32(archive, 0);  // local header offset
    archive += name;

    append32(archive, kEndRecordSignature);
    append16(archive, 0);  // this disk
    append16(archive, 0);  // directory disk
    append16(archive, 1);
    append16(archive, 1);
    append32(archive, static_cast<std::uint32_t>(kCentralHeaderSize + name.size()));
    append32(archive, directoryOffset);
    append16(archive, 0);  // comment length
    return archive;
}

}  // namespace vantel::io
