#include "services/side_by_side_search.hpp"

#include <algorithm>
#include <atomic>
#include <optional>

#include <opencv2/core/utility.hpp>

namespace vantel {
namespace {

// Enough per thread that the wait for the slowest item of a chunk costs little, few enough that
// progress and Ctrl-C are seen soon.
constexpr std::size_t kItemsPerThreadPerChunk = 4;

std::size_t threadCount() { return static_cast<std::size_t>(std::max(cv::getNumThreads(), 1)); }

// Calls searchAt(k) for every k of [first, first + count) in any order and thread; each thread
// that takes part gets its own search and takes the next position whenever it is done.
void runSideBySide(std::size_t first, std::size_t count, const MakeItemSearch& makeSearch,
                   std::vector<std::exception_ptr>& failures) {
    const int workers = static_cast<int>(std::min(threadCount(), count));
    std::atomic<std::size_t> next{0};
    cv::parallel_for_(
        cv::Range(0, workers),
        [&](const cv::Range& range) {
            for (int worker = range.start; worker < range.end; ++worker) {
                std::optional<ItemSearch> search;
                std::exception_ptr setupFailure;
                try {
                    search = makeSearch();
                } catch (...) {
                    setupFailure = std::current_exception();  // the failure of each item it takes
                }
                for (std::size_t k = next++; k < count; k = next++) {
                    if (setupFailure) {
                        failures[first + k] = setupFailure;
                        continue;
                    }
                    try {
                        (*search)(first + k);
                    } catch (...) {
                        failures[first + k] = std::current_exception();
                    }
                }
            }
        },
        workers);
}

}  // namespace

std::vector<std::exception_ptr> searchSideBySide(std::size_t count, const MakeItemSearch& makeSearch) {
    std::vector<std::exception_ptr> failures(count);
    if (count > 0) {
        runSideBySide(0, count, makeSearch, failures);
    }
    return failures;
}

void searchInOrder(std::size_t count, const MakeItemSearch& makeSearch,
                   const std::function<void(std::size_t position)>& take) {
    std::vector<std::exception_ptr> failures(count);
    const std::size_t chunk = kItemsPerThreadPerChunk * threadCount();
    for (std::size_t first = 0; first < count; first += chunk) {
        const std::size_t end = std::min(first + chunk, count);
        runSideBySide(first, end - first, makeSearch, failures);
        for (std::size_t k = first; k < end; ++k) {
            if (failures[k]) {
                std::rethrow_exception(failures[k]);
            }
            take(k);
        }
    }
}

}  // namespace vantel
