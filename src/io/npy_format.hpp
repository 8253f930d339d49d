#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantel::io {

// One .npy array of little-endian float64 values in row-major order.
struct NpyArray {
    std::vector<std::uint64_t> shape;  // outermost first; empty for a scalar
    std::vector<double> data;          // product of shape values
};

// Version 1.0 blob; the header is padded so the data start at a multiple of 64.
std::string buildNpyBlob(const std::vector<std::uint64_t>& shape, const std::vector<double>& data);

// Accepts only '<f8' C-order arrays; throws std::runtime_error "npz: ..." on anything else.
NpyArray parseNpyBlob(const std::string& blob);

}  // namespace vantel::io
