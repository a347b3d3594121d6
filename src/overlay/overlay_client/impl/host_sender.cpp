#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/host_sender.h"
#include "win/srw_lock.h"

#include <algorithm>
#include <thread>

namespace Overlay {

std::shared_ptr<HostSender> HostSender::start()
{
    auto sender = std::make_shared<HostSender>();
    std::thread([sender] { sender->run(); }).detach();
    return sender;
}

bool HostSender::post(Call call)
{
    {
        const Win::SrwExclusive locked(lock_);
        if (finishing_)
            return false;
        if (queue_.size() >= maxQueued) {
            if (!dropping_) {
                dropping_ = true;
                LOG_WARN(L"Dropped calls to the host: %1 are waiting, the host is not reading", queue_.size());
            }
            return false;
        }
        queue_.push_back(std::move(call));
    }
    WakeAllConditionVariable(&changed_);
    return true;
}

void HostSender::finish(Call last)
{
    {
        const Win::SrwExclusive locked(lock_);
        if (finishing_)
            return;
        finishing_ = true;
        queue_.push_back(std::move(last));
    }
    WakeAllConditionVariable(&changed_);
}

bool HostSender::waitFinished(std::chrono::steady_clock::time_point deadline)
{
    const Win::SrwExclusive locked(lock_);
    while (!finished_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // A wake-up that comes early, or none at all, only means another turn of the loop.
        SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>(std::min<long long>(left.count(), 60000)), 0);
    }
    return true;
}

void HostSender::run()
{
    for (;;) {
        Call call;
        {
            const Win::SrwExclusive locked(lock_);
            while (queue_.empty() && !finishing_)
                SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
            if (queue_.empty()) {
                finished_ = true;
                WakeAllConditionVariable(&changed_);
                return;
            }
            call = std::move(queue_.front());
            queue_.pop_front();
            if (queue_.empty())
                dropping_ = false;
        }
        guarded(L"Call to the host", [&call] { call(); });
    }
}

}  // namespace Overlay
