#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantel::quality {

// 0 .. count - 1 shuffled by a std::mt19937 seeded with `seed`, with a draw of our own, so
// that a seed gives the same order with every standard library.
std::vector<uint32_t> shuffledImageOrder(size_t count, uint32_t seed);

// Image indices of one fold, both lists in shuffled order.
struct Fold {
    std::vector<int> training;
    std::vector<int> held_out;
};

// Consecutive runs of count / n_splits shuffled positions are held out in turn; the remainder
// positions are never held out. No folds when n_splits < 1.
std::vector<Fold> crossValidationFolds(size_t count, int n_splits, uint32_t seed);

}  // namespace vantel::quality
