#include "quality/cross_validation_folds.hpp"

#include <algorithm>
#include <random>
#include <utility>

namespace vantel::quality {
namespace {

// Uniform in [0, bound - 1] from whole 32-bit draws, rejecting the top partial range.
uint32_t drawBelow(std::mt19937& generator, uint32_t bound) {
    constexpr uint32_t kLargest = 4294967295u;
    while (true) {
        const uint32_t r = static_cast<uint32_t>(generator());
        if (r / bound < kLargest / bound || kLargest % bound == bound - 1) {
            return r % bound;
        }
    }
}

}  // namespace

std::vector<uint32_t> shuffledImageOrder(size_t count, uint32_t seed) {
    std::vector<uint32_t> order(count);
    for (size_t i = 0; i < count; ++i) {
        order[i] = static_cast<uint32_t>(i);
    }
    std::mt19937 generator(seed);
    for (size_t i = 1; i < count; ++i) {
        std::swap(order[i], order[drawBelow(generator, static_cast<uint32_t>(i + 1))]);
    }
    return order;
}

std::vector<Fold> crossValidationFolds(size_t count, int n_splits, uint32_t seed) {
    const std::vector<uint32_t> order = shuffledImageOrder(count, seed);
    std::vector<Fold> folds;
    if (n_splits < 1) {
        return folds;
    }
    const size_t foldSize = std::max<size_t>(1, count / static_cast<size_t>(n_splits));
    for (size_t k = 0; k < static_cast<size_t>(n_splits); ++k) {
        const size_t start = k * foldSize;
        if (start >= count) {
            break;
        }
        const size_t end = std::min((k + 1) * foldSize, count);
        Fold fold;
        for (size_t position = 0; position < count; ++position) {
            const bool heldOut = position >= start && position < end;
            (heldOut ? fold.held_out : fold.training).push_back(static_cast<int>(order[position]));
        }
        folds.push_back(std::move(fold));
    }
    return folds;
}

}  // namespace vantel::quality
