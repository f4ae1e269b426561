// Which thread is running: whether it is surely not the process's first one.
#ifndef NIMBO_PLATFORM_THREAD_HPP
#define NIMBO_PLATFORM_THREAD_HPP

#if defined(__linux__)
#include <unistd.h>
#endif

namespace ferry::platform {

// True only where that can be told cheaply (Linux: the first thread's id is
// the process id); elsewhere false, so callers must not rely on it.
inline bool surely_not_first_thread() noexcept {
#if defined(__linux__)
    return gettid() != getpid();
#else
    return false;
#endif
}

}  // namespace ferry::platform

#endif
