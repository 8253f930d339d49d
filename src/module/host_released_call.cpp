#include "module/host_released_call.hpp"

#include <mutex>
#include <unordered_map>

namespace vantel::binding {
namespace {

thread_local int releasedDepth = 0;

}  // namespace

HostReleased::HostReleased() { ++releasedDepth; }

HostReleased::~HostReleased() { --releasedDepth; }

bool hostReleasedOnThisThread() { return releasedDepth > 0; }

// Recursive: a progress callback may read the calibrator whose call it reports on.
struct ObjectInUse::Entry {
    std::recursive_mutex mutex;
    int users = 0;
};

namespace {

std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

// Entries of the objects in use now; node addresses stay valid while others come and go.
std::unordered_map<const void*, ObjectInUse::Entry>& objectsInUse() {
    static auto* table = new std::unordered_map<const void*, ObjectInUse::Entry>();
    return *table;
}

}  // namespace

ObjectInUse::ObjectInUse(const void* object) : object_(object) {
    {
        std::lock_guard<std::mutex> lock(tableMutex());
        entry_ = &objectsInUse()[object];
        ++entry_->users;
    }
    entry_->mutex.lock();
}

ObjectInUse::~ObjectInUse() {
    entry_->mutex.unlock();
    std::lock_guard<std::mutex> lock(tableMutex());
    if (--entry_->users == 0) {
        objectsInUse().erase(object_);
    }
}

}  // namespace vantel::binding
