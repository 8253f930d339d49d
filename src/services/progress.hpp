#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace vantel {

// Long loops report here between steps (images, cameras, pairs, folds, methods, subsets), on the
// calling thread only. The binding layer installs the hook: it shows progress and may throw
// HostInterrupt to end the call when the user pressed Ctrl-C. Without a hook nothing happens.
using ProgressHook = std::function<void(const std::string& what, std::size_t done, std::size_t total)>;

void setProgressHook(ProgressHook hook);

void reportProgress(const std::string& what, std::size_t done, std::size_t total);

}  // namespace vantel
