#pragma once

#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

namespace vantel::binding {

// Long calls run with the interpreter released, so other host threads (a GUI, a server, a second
// calibration) keep running. The core takes it back on this thread only where it calls the host:
// log and report sinks, the progress hook and its Ctrl-C check. Usable as py::call_guard.
class HostReleased {
public:
    HostReleased();
    ~HostReleased();
    HostReleased(const HostReleased&) = delete;
    HostReleased& operator=(const HostReleased&) = delete;

private:
    pybind11::gil_scoped_release release_;
};

// True on a thread that runs a call released by HostReleased: the progress hook may take the
// interpreter back there. Worker threads of a call never do.
bool hostReleasedOnThisThread();

// A calibrator keeps the state of its last run, so one object serves one call at a time: calls on
// the same object from several host threads wait for each other instead of racing. Taken after the
// interpreter is released, so a call that waits never blocks the one it waits for.
class ObjectInUse {
public:
    explicit ObjectInUse(const void* object);
    ~ObjectInUse();
    ObjectInUse(const ObjectInUse&) = delete;
    ObjectInUse& operator=(const ObjectInUse&) = delete;

    struct Entry;

private:
    const void* object_;
    Entry* entry_;
};

// work() on self, released and alone on self; a reference result is copied before self is let go.
template <typename Object, typename Work>
auto releasedCall(Object& self, Work&& work) -> std::decay_t<decltype(work())> {
    HostReleased released;
    ObjectInUse inUse(&self);
    return work();
}

// A bindable function for a member function, run through releasedCall.
template <typename Object, typename Result, typename... Args>
auto releasedMember(Result (Object::*method)(Args...)) {
    return [method](Object& self, Args... args) {
        return releasedCall(self, [&] { return (self.*method)(std::forward<Args>(args)...); });
    };
}

template <typename Object, typename Result, typename... Args>
auto releasedMember(Result (Object::*method)(Args...) const) {
    return [method](const Object& self, Args... args) {
        return releasedCall(self, [&] { return (self.*method)(std::forward<Args>(args)...); });
    };
}

}  // namespace vantel::binding
