#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/host_sender.h"

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
        std::lock_guard<std::mutex> lock(lock_);
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
    changed_.notify_all();
    return true;
}

void HostSender::finish(Call last)
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (finishing_)
            return;
        finishing_ = true;
        queue_.push_back(std::move(last));
    }
    changed_.notify_all();
}

bool HostSender::waitFinished(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_until(lock, deadline, [this] { return finished_; });
}

void HostSender::run()
{
    for (;;) {
        Call call;
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] { return !queue_.empty() || finishing_; });
            if (queue_.empty()) {
                finished_ = true;
                changed_.notify_all();
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
