#pragma once

// SingleInstance<T>: makes T a process-wide singleton and lets T's hook functions, which have no
// `this`, find the object.
//
//   namespace Overlay {
//   OVERLAY_SINGLE_INSTANCE_NAME(WindowHook);   // declares WindowHook and the name its guard reports
//   class WindowHook : private SingleInstance<WindowHook> {
//   public:
//       WindowHook() : SingleInstance<WindowHook>(this) { ... }
//   };
//   }
//
//   // in a hook function:
//   if (WindowHook* self = SingleInstance<WindowHook>::instance()) ...
//
// A second object while one exists throws std::logic_error
// "Overlay::SingleInstance<class Overlay::WindowHook>::SingleInstance"; the first keeps working.

#include <atomic>
#include <stdexcept>
#include <string>

namespace Overlay {

// The qualified class name a guard reports; every guarded class provides it through
// OVERLAY_SINGLE_INSTANCE_NAME, inside namespace Overlay.
template <class T>
struct SingleInstanceName;

#define OVERLAY_SINGLE_INSTANCE_NAME(Class)                                                                            \
    class Class;                                                                                                       \
    template <>                                                                                                        \
    struct SingleInstanceName<Class>                                                                                   \
    {                                                                                                                  \
        static constexpr const char* value = "Overlay::" #Class;                                                       \
    }

template <class T>
class SingleInstance
{
public:
    // The object while it exists (from the start of its construction to the end of its
    // destruction), otherwise null.
    static T* instance() noexcept { return instance_.load(std::memory_order_acquire); }

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

protected:
    explicit SingleInstance(T* self) : self_(self)
    {
        T* expected = nullptr;
        if (!instance_.compare_exchange_strong(expected, self, std::memory_order_acq_rel))
            throw std::logic_error(std::string("Overlay::SingleInstance<class ") + SingleInstanceName<T>::value +
                                   ">::SingleInstance");
    }

    ~SingleInstance()
    {
        T* expected = self_;
        instance_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }

private:
    static inline std::atomic<T*> instance_{nullptr};
    T* self_;
};

}  // namespace Overlay
