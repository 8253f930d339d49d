#include "io/npy_format.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace vantel::io {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicLength = 6;

std::uint32_t readLittleEndian(const std::string& bytes, std::size_t offset, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// Leading decimal digits; whatever follows them is ignored (old headers wrote 3L).
std::uint64_t parseDimension(const std::string& piece) {
    if (piece.empty() || piece[0] < '0' || piece[0] > '9') {
        throw std::invalid_argument("invalid stoull argument");
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(piece[i] - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            throw std::out_of_range("stoull argument out of range");
        }
        value = value * 10 + digit;
    }
    return value;
}

bool isFortranOrder(const std::string& header) {
    const std::size_t key = header.find("'fortran_order'");
    if (key == std::string::npos) {
        return false;
    }
    const std::size_t isTrue = header.find("True", key);
    const std::size_t comma = header.find(',', key);
    return isTrue != std::string::npos && (comma == std::string::npos || isTrue < comma);
}

std::vector<std::uint64_t> parseShape(const std::string& header) {
    const std::size_t key = header.find("'shape'");
    if (key == std::string::npos || header.size() < 7) {
        throw std::runtime_error("npz: missing 'shape' in npy header");
    }
    const std::size_t open = header.find('(', key);
    const std::size_t close = open == std::string::npos ? std::string::npos : header.find(')', open);
    if (close == std::string::npos) {
        throw std::runtime_error("npz: malformed 'shape' tuple in npy header");
    }
    std::vector<std::uint64_t> shape;
    const std::string tuple = header.substr(open + 1, close - open - 1);
    std::size_t start = 0;
    while (start <= tuple.size()) {
        std::size_t end = tuple.find(',', start);
        if (end == std::string::npos) end = tuple.size();
        const std::size_t first = tuple.find_first_not_of(" \t", start);
        if (first != std::string::npos && first < end) {
            const std::size_t last = tuple.find_last_not_of(" \t", end - 1);
            shape.push_back(parseDimension(tuple.substr(first, last - first + 1)));
        }
        start = end + 1;
    }
    return shape;
}

// Element count, or nothing when it cannot be held in 64 bits.
bool elementCount(const std::vector<std::uint64_t>& shape, std::uint64_t& count) {
    count = 1;
    for (const std::uint64_t dimension : shape) {
        if (dimension == 0) {
            count = 0;
            return true;
        }
    }
    for (const std::uint64_t dimension : shape) {
        if (count > std::numeric_limits<std::uint64_t>::max() / dimension) {
            return false;
        }
        count *= dimension;
    }
    return true;
}

}  // namespace

std::string buildNpyBlob(const std::vector<std::uint64_t>& shape, const std::vector<double>& data) {
    std::string dict = "{'descr': '<f8', 'fortran_order': False, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        dict += std::to_string(shape[i]);
        if (i + 1 < shape.size() || shape.size() == 1) {
            dict += ", ";
        }
    }
    dict += "), }";
    const std::size_t unpadded = dict.size() + 11;  // magic, version, length, newline
    const std::size_t padding = (unpadded + 63) / 64 * 64 - unpadded;
    const std::size_t headerLength = dict.size() + padding + 1;

    std::string blob(kMagic, kMagicLength);
    blob += '\x01';
    blob += '\x00';
    blob += static_cast<char>(headerLength & 0xFF);
    blob += static_cast<char>((headerLength >> 8) & 0xFF);
    blob += dict;
    blob.append(padding, ' ');
    blob += '\n';
    const std::size_t dataOffset = blob.size();
    blob.resize(dataOffset + data.size() * sizeof(double));
    if (!data.empty()) {
        std::memcpy(&blob[dataOffset], data.data(), data.size() * sizeof(double));
    }
    return blob;
}

NpyArray parseNpyBlob(const std::string& blob) {
    if (blob.size() < 10 || blob.compare(0, kMagicLength, kMagic, kMagicLength) != 0) {
        throw std::runtime_error("npz: not a valid .npy blob");
    }
    const bool longHeader = static_cast<unsigned char>(blob[6]) >= 2;
    const std::size_t textStart = longHeader ? 12 : 10;
    if (blob.size() < textStart) {
        throw std::runtime_error("npz: truncated .npy header");
    }
    const std::size_t headerLength = readLittleEndian(blob, 8, longHeader ? 4 : 2);
    if (blob.size() - textStart < headerLength) {
        throw std::runtime_error("npz: truncated .npy header dict");
    }
    const std::string header = blob.substr(textStart, headerLength);
    if (header.find("'descr': '<f8'") == std::string::npos) {
        throw std::runtime_error("npz: only little-endian float64 (\"<f8\") arrays are supported");
    }
    if (isFortranOrder(header)) {
        throw std::runtime_error("npz: fortran-order arrays are not supported");
    }

    NpyArray array;
    array.shape = parseShape(header);
    const std::size_t dataOffset = textStart + headerLength;
    const std::uint64_t available = (blob.size() - dataOffset) / sizeof(double);
    std::uint64_t count = 0;
    if (!elementCount(array.shape, count) || count > available) {
        throw std::runtime_error("npz: .npy data shorter than shape implies");
    }
    array.data.resize(static_cast<std::size_t>(count));
    if (count > 0) {
        std::memcpy(array.data.data(), blob.data() + dataOffset, static_cast<std::size_t>(count) * sizeof(double));
    }
    return array;
}

}  // namespace vantel::io
