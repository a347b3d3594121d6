#pragma once

// Test functions written as machine code into executable memory, so that their exact prologues do
// not depend on the compiler, and the two engines behind one attach/detach call.

#include "hook_engines/far_jump_engine.h"
#include "hook_engines/near_jump_engine.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <vector>

namespace TestCode {

// Executable memory with code placed from the bottom and data from the top.
class ExecutableMemory
{
public:
    explicit ExecutableMemory(void* at = nullptr, std::size_t size = 0x10000)
    {
        base_ = static_cast<std::uint8_t*>(VirtualAlloc(at, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
        if (base_ == nullptr)
            throw std::runtime_error("VirtualAlloc failed");
        std::memset(base_, 0xCC, size);
        dataTop_ = base_ + size;
    }
    ~ExecutableMemory() { VirtualFree(base_, 0, MEM_RELEASE); }
    ExecutableMemory(const ExecutableMemory&) = delete;
    ExecutableMemory& operator=(const ExecutableMemory&) = delete;

    // Where the next function goes (64-byte aligned, int3 padding after the previous one).
    std::uint8_t* next() const { return base_ + ((codeEnd_ + 63) & ~std::size_t(63)); }

    std::uint8_t* add(const std::vector<std::uint8_t>& code)
    {
        std::uint8_t* at = next();
        std::memcpy(at, code.data(), code.size());
        codeEnd_ = static_cast<std::size_t>(at - base_) + code.size() + 1;
        FlushInstructionCache(GetCurrentProcess(), at, code.size());
        return at;
    }

    template <class T>
    T* data(T value)
    {
        dataTop_ -= 16;
        std::memcpy(dataTop_, &value, sizeof value);
        return reinterpret_cast<T*>(dataTop_);
    }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t codeEnd_ = 0;
    std::uint8_t* dataTop_ = nullptr;
};

// Machine code built for the address it will be placed at.
class Code
{
public:
    explicit Code(const std::uint8_t* at) : at_(at) {}

    Code& op(std::initializer_list<std::uint8_t> bytes)
    {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    // disp32 of a RIP-relative operand or rel32 branch to `target`; `trailing` immediate bytes follow.
    Code& rel32(const void* target, std::size_t trailing = 0)
    {
        const std::int64_t end =
            reinterpret_cast<std::int64_t>(at_) + static_cast<std::int64_t>(bytes_.size() + 4 + trailing);
        const std::int32_t rel = static_cast<std::int32_t>(reinterpret_cast<std::int64_t>(target) - end);
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(&rel);
        bytes_.insert(bytes_.end(), p, p + 4);
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    const std::uint8_t* at_;
    std::vector<std::uint8_t> bytes_;
};

#if defined(_WIN64)
// One page of code around which nothing else can be allocated: every place within ±2 GB of it
// is reserved. Only a 64-bit process has places that a rel32 jump cannot reach.
class IsolatedCode
{
public:
    IsolatedCode()
    {
        const std::uint64_t span = 6ULL << 30, below = 3ULL << 30, size = 0x10000;
        std::uint8_t* base = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, span, MEM_RESERVE, PAGE_NOACCESS));
        if (base == nullptr)
            throw std::runtime_error("cannot reserve 6 GB of address space");
        VirtualFree(base, 0, MEM_RELEASE);
        below_ = VirtualAlloc(base, below, MEM_RESERVE, PAGE_NOACCESS);
        memory_ = new ExecutableMemory(base + below, size);
        above_ = VirtualAlloc(base + below + size, span - below - size, MEM_RESERVE, PAGE_NOACCESS);
        if (below_ == nullptr || above_ == nullptr)
            throw std::runtime_error("cannot reserve the space around the code");
    }
    ~IsolatedCode()
    {
        delete memory_;
        VirtualFree(below_, 0, MEM_RELEASE);
        VirtualFree(above_, 0, MEM_RELEASE);
    }
    IsolatedCode(const IsolatedCode&) = delete;
    IsolatedCode& operator=(const IsolatedCode&) = delete;

    ExecutableMemory& memory() { return *memory_; }

private:
    void* below_ = nullptr;
    void* above_ = nullptr;
    ExecutableMemory* memory_ = nullptr;
};
#endif

using IntFn = int (*)(int);

inline IntFn fn(const void* code)
{
    return reinterpret_cast<IntFn>(const_cast<void*>(code));
}

inline std::vector<std::uint8_t> snapshot(const void* code, std::size_t n = 32)
{
    const std::uint8_t* p = static_cast<const std::uint8_t*>(code);
    return std::vector<std::uint8_t>(p, p + n);
}

// x ? 3x + 1 : -1, with jz rel8 in the first bytes; both engines take it.
inline std::uint8_t* jccEarly(ExecutableMemory& mem)
{
    return mem.add({0x85, 0xC9,                          // test ecx,ecx
                    0x74, 0x0B,                          // jz +11
                    0x8D, 0x04, 0x49,                    // lea eax,[rcx+rcx*2]
                    0xFF, 0xC0,                          // inc eax
                    0x0F, 0x1F, 0x44, 0x00, 0x00,        // nop
                    0xC3, 0xB8, 0xFF, 0xFF, 0xFF, 0xFF,  // mov eax,-1
                    0xC3});
}

// xor eax,eax ; ret: too short for either engine.
inline std::uint8_t* tooShort(ExecutableMemory& mem)
{
    return mem.add({0x31, 0xC0, 0xC3});
}

// Replacement in machine code: eax = [slot](ecx) + add; its prologue can be hooked in turn.
inline std::uint8_t* forwardingReplacement(ExecutableMemory& mem, void** slot, std::int32_t add)
{
    Code c(mem.next());
    const std::uint8_t* imm = reinterpret_cast<const std::uint8_t*>(&add);
    c.op({0x48, 0x83, 0xEC, 0x28})  // sub rsp,28h
        .op({0xFF, 0x15})
        .rel32(slot)                                 // call [rip+slot]
        .op({0x05, imm[0], imm[1], imm[2], imm[3]})  // add eax,add
        .op({0x48, 0x83, 0xC4, 0x28})                // add rsp,28h
        .op({0xC3});
    return mem.add(c.bytes());
}

enum class Engine { NearJump, FarJump };

inline const char* engineName(Engine e)
{
    return e == Engine::NearJump ? "NearJump" : "FarJump";
}

// Attaches, or detaches, through one engine; `status`, when given, receives why the engine refused
// (Ok when it did not).
inline bool apply(bool attaching, Engine engine, void** function, void* replacement,
                  Overlay::HookEngines::HookStatus* status)
{
    using namespace Overlay::HookEngines;
    HookStatus ignored;
    status = status != nullptr ? status : &ignored;
    if (engine == Engine::NearJump) {
        NearJumpAttachEntry attachEntry{function, replacement, false};
        NearJumpDetachEntry detachEntry{function, 0};
        const bool done = attaching ? attachNearJumps(&attachEntry, 1) == 1 && attachEntry.attached
                                    : detachNearJumps(&detachEntry, 1) == 1 && detachEntry.detached != 0;
        *status = attaching ? attachEntry.status : detachEntry.status;
        return done;
    }
    if (beginFarJumpTransaction() != 0)
        return false;
    enlistFarJumpThread(GetCurrentThread());
    (attaching ? stageFarJumpAttach : stageFarJumpDetach)(function, replacement);
    FarJumpFailure failure;
    const bool committed = commitFarJumpTransaction(&failure) == 0;
    *status = failure.status;
    return committed;
}

inline bool attach(Engine engine, void** function, void* replacement,
                   Overlay::HookEngines::HookStatus* status = nullptr)
{
    return apply(true, engine, function, replacement, status);
}

inline bool detach(Engine engine, void** function, void* replacement,
                   Overlay::HookEngines::HookStatus* status = nullptr)
{
    return apply(false, engine, function, replacement, status);
}

// `name` as exported by the loaded `module`.
inline void* exported(const wchar_t* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name));
}

inline DWORD protectionOf(const void* address)
{
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(address, &info, sizeof info);
    return info.Protect;
}

}  // namespace TestCode
