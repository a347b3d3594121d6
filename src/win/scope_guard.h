#pragma once
// Runs a function when the scope ends, unless dismissed: for clean-up that has no owning type
// (restoring a protection, resuming threads, undoing a half-made registration).
//
//   auto restore = Win::scopeExit([&] { VirtualProtect(code, size, old, &old); });
//   ...
//   restore.dismiss();  // keep the change

#include <utility>

namespace Win {

template <class Function>
class ScopeGuard
{
public:
    explicit ScopeGuard(Function function) : function_(std::move(function)) {}
    ScopeGuard(ScopeGuard&& other) noexcept : function_(std::move(other.function_)), active_(other.active_)
    {
        other.active_ = false;
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ScopeGuard& operator=(ScopeGuard&&) = delete;
    ~ScopeGuard()
    {
        if (active_) {
            function_();
        }
    }

    void dismiss() noexcept { active_ = false; }

private:
    Function function_;
    bool active_ = true;
};

template <class Function>
ScopeGuard<Function> scopeExit(Function function)
{
    return ScopeGuard<Function>(std::move(function));
}

}  // namespace Win
