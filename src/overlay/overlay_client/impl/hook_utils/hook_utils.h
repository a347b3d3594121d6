#pragma once

// Redirecting functions of the process to our own: hook records and their batch attach/detach.
//
// A hook class owns one HookRecord per function it redirects, hands them out as a HookList and
// lets the application attach them with hook() and detach them with unhook(). The replacement
// reaches the function's own behaviour through the record:
//
//   HMODULE WINAPI loadLibraryWHook(LPCWSTR name)
//   {
//       ...
//       return record.real<decltype(&LoadLibraryW)>()(name);
//   }
//
//   class MyHook {
//       HookRecord record_ = makeHookRecord(target, &myReplacement, "Module::Function");
//       std::unique_ptr<HookRecord> optional_ = makeUniqueHookRecord(target2, &other, "Other");
//       HookList getHooks() { return {&record_, optional_.get()}; }
//       ~MyHook() { unhook(getHooks()); }
//   };
//
//   hook(list);             // every record not attached yet: first engine, then the second
//   if (!allHooked(list))   // what failed has been logged ("Hook : <name> : Failed (<why>)")
//       ...
//
// Records must not move while attached (the engines hold the address of their `realFunc`);
// they are neither copyable nor movable, and makeHookRecord relies on guaranteed copy elision.
// hook() and unhook() are not meant for concurrent calls.
//
// A detach fails when another hooker has patched over ours since: the patch and its trampoline
// then stay, and the replacement keeps being called after its owner is gone. So unhook() leaves,
// for each replacement, where its record stood in a process-wide table that is never freed: the
// trampoline when the patch stays, the restored target otherwise. A replacement whose owner is
// gone forwards there:
//
//   HRESULT STDMETHODCALLTYPE presentHook(IDXGISwapChain* chain, UINT interval, UINT flags)
//   {
//       D3DHook* self = instance();  // or through a ReplacementGate, see below
//       if (self == nullptr)
//           return callRetired(&presentHook, E_FAIL, chain, interval, flags);
//       ...
//   }
//
// The table is keyed by the replacement, so each replacement serves one record (a replacement
// written once for two records is a template over the record: two functions).

#include "hook_engines/hook_status.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace Overlay {

class HookRecord;
using HookList = std::vector<HookRecord*>;

// Which engine attached a record.
enum HookBackend : std::uint32_t { HookBackendMhook = 0, HookBackendDetours = 1 };

class HookRecord
{
public:
    // Throws std::invalid_argument "<name>: realFunc is null" / "<name>: hookFunc is null".
    HookRecord(void* realFunc, void* hookFunc, std::string name, bool unhookOnDestroy);
    // Detaches first (one "Unhook" line) when unhookOnDestroy and attached.
    ~HookRecord();

    HookRecord(const HookRecord&) = delete;
    HookRecord& operator=(const HookRecord&) = delete;

    bool isHooked() const { return hooked_; }
    void* getHookFunc() const { return hookFunc_; }
    std::uint32_t getBackend() const { return backend_; }
    // Why the last attach or detach failed, as the engine that tried last reported it; Ok after a
    // success.
    HookEngines::HookStatus getStatus() const { return status_; }
    const std::string& getName() const { return name_; }
    // What the engines rewrite: the target before attach, the trampoline while attached.
    void** getRealFuncAddress() { return &realFunc_; }

    // The function's own behaviour: the trampoline while attached, the target otherwise. Safe to
    // call from any thread while the engines rewrite the pointer.
    void* getRealFunc() const { return *static_cast<void* const volatile*>(&realFunc_); }
    template <class Function>
    Function real() const
    {
        return reinterpret_cast<Function>(getRealFunc());
    }

private:
    friend void hook(const HookList& records);
    friend void unhook(const HookList& records);

    void* realFunc_;
    void* hookFunc_;
    std::string name_;
    bool hooked_ = false;
    bool unhookOnDestroy_;
    std::uint32_t backend_ = HookBackendMhook;
    HookEngines::HookStatus status_ = HookEngines::HookStatus::Ok;
};

// The records the hook classes create: always detached when destroyed.
HookRecord makeHookRecord(void* realFunc, void* hookFunc, std::string name);
std::unique_ptr<HookRecord> makeUniqueHookRecord(void* realFunc, void* hookFunc, std::string name);

// Function pointers of any type as the untyped code pointers above.
template <class Function>
void* codeAddress(Function function)
{
    return reinterpret_cast<void*>(function);
}

// Attaches every record of the list that is not attached yet (null entries are skipped) and logs
// one line per record. Failures leave records unattached; check with allHooked.
void hook(const HookList& records);

// Detaches every attached record of the list, each by the engine that attached it, and logs one
// line per record. Attaching and detaching take turns, process-wide: each freezes the other threads.
void unhook(const HookList& records);

// True when every record is attached; true for an empty list. No null entries allowed.
bool allHooked(const HookList& records);

// Where the replacement `hookFunc` forwards once its record is gone: the trampoline of a patch
// that could not be removed, or the target of one that was; null when its record was never
// detached (or the table was full). Lock-free; safe from any thread at any time.
void* retiredRealFunc(const void* hookFunc) noexcept;

template <class Function>
Function retiredReal(Function hookFunc) noexcept
{
    return reinterpret_cast<Function>(retiredRealFunc(codeAddress(hookFunc)));
}

// Calls what the replacement `hookFunc` forwards to once its record is gone, or returns
// `fallback` when there is nothing to call.
template <class Function, class... Args>
std::invoke_result_t<Function, Args...> callRetired(Function hookFunc, std::invoke_result_t<Function, Args...> fallback,
                                                    Args... args)
{
    if (const Function real = retiredReal(hookFunc))
        return real(args...);
    return fallback;
}

// Waits up to `timeoutMs` for `inside` to drop to zero; logs when it has to wait and when it gives
// up. False when threads are still inside.
bool waitForReplacementsToEnd(const std::atomic<long>& inside, const char* owner, unsigned long timeoutMs) noexcept;

// Counts the threads inside the replacements of a hook class. A thread that waits in the real
// function (or in a listener the replacement calls) and then resumes into a destroyed object runs
// on freed memory; so a replacement takes a pass before it looks its owner up and keeps it until
// it returns. serve does all of that around the replacement's own work:
//
//   HRESULT STDMETHODCALLTYPE D3DHook::presentHook(IDXGISwapChain* chain, UINT interval, UINT flags)
//   {
//       return ReplacementGate<D3DHook>::serve(
//           &presentHook, &D3DHook::presentRecord_, E_FAIL,
//           [&](D3DHook& self, const auto& real) {
//               ...
//               return real(chain, interval, flags);
//           },
//           chain, interval, flags);
//   }
//
// The owner opens the gate once it is built. Before it goes it unhooks and closes the gate: later
// arrivals get no owner, and close waits, bounded, for the threads inside. When they do not leave
// in time the object must not be freed; GraphicDeviceHook then keeps its API hook for the life of
// the process. Static storage (a pass can always reach it), one gate per class: hook classes are
// single instances.
//
// The cursor, module-load, window and input-channel hooks find their owner with a bare
// SingleInstance::instance(), no gate: the application owns them and is kept for the life of the
// process (the module is pinned, deinitializeOverlay lets nothing go), so once installed they are
// never destroyed under a game thread. Whoever destroys one while the game runs (tests do) must
// first make sure no thread is inside its replacements, or, for the window hook, its message hook.
template <class Owner>
class ReplacementGate
{
public:
    class Pass
    {
    public:
        Pass() noexcept
        {
            // Counted before the owner is read: close either sees this thread or it sees no owner.
            inside_.fetch_add(1);
            owner_ = ReplacementGate::owner_.load();
            if (owner_ == nullptr)
                inside_.fetch_sub(1);
        }
        ~Pass()
        {
            if (owner_ != nullptr)
                inside_.fetch_sub(1);
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        Owner* owner() const noexcept { return owner_; }

    private:
        Owner* owner_;
    };

    // The record's real function, read when called (an attach or detach meanwhile moves it).
    template <class Function>
    class RealCall
    {
    public:
        explicit RealCall(const HookRecord& record) noexcept : record_(record) {}
        template <class... Args>
        std::invoke_result_t<Function, Args...> operator()(Args... args) const
        {
            return record_.real<Function>()(args...);
        }

    private:
        const HookRecord& record_;
    };
    // What serve returns when there is nothing to forward to; nullptr for functions returning void.
    template <class Function, class... Args>
    using Fallback = std::conditional_t<std::is_void_v<std::invoke_result_t<Function, Args...>>, std::nullptr_t,
                                        std::invoke_result_t<Function, Args...>>;

    // The replacement `hookFunc` of the owner's `record`, called with `args`: inside a pass, returns
    // body(owner, real) with the record's real function; once the owner is gone (or has no such
    // record), forwards `args` as callRetired does, or returns `fallback`.
    template <class Function, class Body, class... Args>
    static std::invoke_result_t<Function, Args...> serve(Function hookFunc, std::unique_ptr<HookRecord> Owner::*record,
                                                         Fallback<Function, Args...> fallback, const Body& body,
                                                         Args... args)
    {
        const Pass pass;
        Owner* owner = pass.owner();
        if (owner != nullptr && (owner->*record))
            return body(*owner, RealCall<Function>(*(owner->*record)));
        if constexpr (std::is_void_v<std::invoke_result_t<Function, Args...>>) {
            (void)fallback;
            if (const Function real = retiredReal(hookFunc))
                real(args...);
        } else {
            return callRetired(hookFunc, fallback, args...);
        }
    }

    static void open(Owner* owner) noexcept { owner_.store(owner); }
    // False when threads were still inside after `timeoutMs`.
    static bool close(const char* name, unsigned long timeoutMs) noexcept
    {
        owner_.store(nullptr);
        return waitForReplacementsToEnd(inside_, name, timeoutMs);
    }

private:
    static inline std::atomic<Owner*> owner_{nullptr};
    static inline std::atomic<long> inside_{0};
};

// The first engine's diagnostics, kept for the log when an attach fails.
struct MhookDumpBuffer
{
    static constexpr std::size_t Capacity = 32768;
    char data[Capacity];
    std::uint64_t length;
};

// Creates the buffer (if there is none) and routes the first engine's diagnostics into it.
void initHookEngineLog();
// Stops the routing and frees the buffer.
void deinitHookEngineLog();
// The buffer, or null.
const MhookDumpBuffer* hookEngineLog();
// The first engine's print callback: appends one formatted line to the buffer.
void mhookPrintCallback(const char* format, ...);

}  // namespace Overlay
