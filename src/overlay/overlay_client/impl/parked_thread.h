#pragma once
// A thread of ours that only waits, for as long as it lives.
//
// Under Wine, a thread that another process starts in the game (the host calling our exports) is
// made by one of the game's own threads: one that waits in the system if there is any, otherwise a
// running one, interrupted by a signal, which hangs for good when it was inside the C library's
// allocator. A busy game may have no waiting thread until our pipe threads start; this one is it.

#include "win/unique_handle.h"

#include <windows.h>

#include <thread>

namespace Overlay {

class ParkedThread
{
public:
    ParkedThread() : wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (wake_) {
            thread_ = std::thread([event = wake_.get()] { WaitForSingleObject(event, INFINITE); });
        }
    }
    ~ParkedThread()
    {
        if (thread_.joinable()) {
            SetEvent(wake_.get());
            thread_.join();
        }
    }
    ParkedThread(const ParkedThread&) = delete;
    ParkedThread& operator=(const ParkedThread&) = delete;

private:
    Win::UniqueHandle wake_;
    std::thread thread_;
};

}  // namespace Overlay
