#include "services/progress.hpp"

#include <utility>

namespace vantel {
namespace {

ProgressHook& installedHook() {
    static ProgressHook hook;
    return hook;
}

}  // namespace

void setProgressHook(ProgressHook hook) { installedHook() = std::move(hook); }

void reportProgress(const std::string& what, std::size_t done, std::size_t total) {
    if (installedHook()) {
        installedHook()(what, done, total);
    }
}

}  // namespace vantel
