#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace Overlay {

// Runs functions on the thread that created it (the game window's thread). Other threads hand it
// functions; each is posted to a hidden message-only window of that thread and runs when the
// thread's own message loop dispatches it, in the order of the queue. On the owning thread a
// function runs at once, inside `post`.
//
//   auto invoker = Invoker::create();                  // on the window thread
//   invoker->post([] { ... });                         // from any thread
//
// The last reference may be released on any thread: the window is destroyed on the owning thread.
class Invoker
{
public:
    using Function = std::function<void()>;

    // Creates the invoker owned by the calling thread. Throws a system error when the window message
    // cannot be registered or the window cannot be created.
    static std::shared_ptr<Invoker> create();

    Invoker(const Invoker&) = delete;
    Invoker& operator=(const Invoker&) = delete;

    // Runs `function` at once when called on the owning thread (unless `forcePost`), otherwise posts
    // it there. False when it could not be posted (logged); the function is then dropped.
    bool post(Function function, bool forcePost = false);

    DWORD threadId() const noexcept { return threadId_; }
    // The message-only window (borrowed; owned by the invoker).
    HWND window() const noexcept { return window_; }

    // The process-wide registered message that carries posted functions; 0 when it failed.
    static UINT message() noexcept;

    struct Payload;

private:
    Invoker(DWORD threadId, HWND window) noexcept;
    ~Invoker();

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Called on the owning thread for a dispatched payload: runs it when it is one of ours.
    void execute(Payload* payload) noexcept;
    // Destroys the window and the invoker on the owning thread; frees what is still queued.
    static void destroy(Invoker* invoker) noexcept;

    std::weak_ptr<Invoker> self_;
    const DWORD threadId_;
    const HWND window_;

    // Payloads posted and not yet dispatched. A dispatched WPARAM that is not among them (a message
    // sent by someone else, or one left over) is never touched.
    std::mutex pendingLock_;
    std::unordered_set<Payload*> pending_;
};

}  // namespace Overlay
