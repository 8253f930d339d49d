#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

namespace vantel {

// Searches one item (an image) by its position and keeps what it found where the caller reads it.
using ItemSearch = std::function<void(std::size_t position)>;

// Gives each thread that takes part a search of its own: OpenCV does not promise that its
// detectors may be shared between threads. Called on those threads, so it may only read shared state.
using MakeItemSearch = std::function<ItemSearch()>;

// Searches positions 0 .. count-1 side by side on OpenCV's threads. Entry k is what the search of
// position k threw (null when it threw nothing). The searches must not log or report progress:
// the host's streams and callbacks belong to the calling thread.
std::vector<std::exception_ptr> searchSideBySide(std::size_t count, const MakeItemSearch& makeSearch);

// The same, a few positions per thread at a time, in increasing order. After each such chunk the
// calling thread calls take(k) for the chunk's positions in order, so that what take() logs,
// reports or throws (Ctrl-C through the progress hook) comes between items as in a plain loop.
// At the first position whose search threw, that exception is thrown instead of take().
void searchInOrder(std::size_t count, const MakeItemSearch& makeSearch,
                   const std::function<void(std::size_t position)>& take);

}  // namespace vantel
