#pragma once

// Test functions written as machine code into executable memory, so that their exact prologues do
// not depend on the compiler.

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
class ExecutableMemory {
public:
    explicit ExecutableMemory(void* at = nullptr, std::size_t size = 0x10000)
        : m_size(size)
    {
        m_base = static_cast<std::uint8_t*>(VirtualAlloc(at, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
        if (m_base == nullptr)
            throw std::runtime_error("VirtualAlloc failed");
        std::memset(m_base, 0xCC, size);
        m_dataTop = m_base + size;
    }
    ~ExecutableMemory() { VirtualFree(m_base, 0, MEM_RELEASE); }
    ExecutableMemory(const ExecutableMemory&) = delete;
    ExecutableMemory& operator=(const ExecutableMemory&) = delete;

    std::uint8_t* base() const { return m_base; }
    // Where the next function goes (64-byte aligned, int3 padding after the previous one).
    std::uint8_t* next() const { return m_base + ((m_codeEnd + 63) & ~std::size_t(63)); }

    std::uint8_t* add(const std::vector<std::uint8_t>& code)
    {
        std::uint8_t* at = next();
        std::memcpy(at, code.data(), code.size());
        m_codeEnd = static_cast<std::size_t>(at - m_base) + code.size() + 1;
        FlushInstructionCache(GetCurrentProcess(), at, code.size());
        return at;
    }

    template <class T>
    T* data(T value)
    {
        m_dataTop -= 16;
        std::memcpy(m_dataTop, &value, sizeof value);
        return reinterpret_cast<T*>(m_dataTop);
    }

private:
    std::uint8_t* m_base = nullptr;
    std::size_t m_size = 0;
    std::size_t m_codeEnd = 0;
    std::uint8_t* m_dataTop = nullptr;
};

// Machine code built for the address it will be placed at.
class Code {
public:
    explicit Code(const std::uint8_t* at) : m_at(at) {}

    Code& op(std::initializer_list<std::uint8_t> bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    // disp32 of a RIP-relative operand or rel32 branch to `target`; `trailing` immediate bytes follow.
    Code& rel32(const void* target, std::size_t trailing = 0)
    {
        const std::int64_t end = reinterpret_cast<std::int64_t>(m_at) + static_cast<std::int64_t>(m_bytes.size() + 4 + trailing);
        const std::int32_t rel = static_cast<std::int32_t>(reinterpret_cast<std::int64_t>(target) - end);
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(&rel);
        m_bytes.insert(m_bytes.end(), p, p + 4);
        return *this;
    }
    Code& u64(std::uint64_t value)
    {
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(&value);
        m_bytes.insert(m_bytes.end(), p, p + 8);
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

private:
    const std::uint8_t* m_at;
    std::vector<std::uint8_t> m_bytes;
};

// Address space around one page of code in which nothing else can be allocated: every place
// within ±2 GB of the code is reserved.
class IsolatedCode {
public:
    IsolatedCode()
    {
        const std::uint64_t span = 6ULL << 30;
        void* probe = VirtualAlloc(nullptr, span, MEM_RESERVE, PAGE_NOACCESS);
        if (probe == nullptr)
            throw std::runtime_error("cannot reserve 6 GB of address space");
        VirtualFree(probe, 0, MEM_RELEASE);
        std::uint8_t* base = static_cast<std::uint8_t*>(probe);
        std::uint8_t* code = base + (3ULL << 30);
        m_below = VirtualAlloc(base, code - base, MEM_RESERVE, PAGE_NOACCESS);
        m_memory = new ExecutableMemory(code, 0x10000);
        m_above = VirtualAlloc(code + 0x10000, span - (3ULL << 30) - 0x10000, MEM_RESERVE, PAGE_NOACCESS);
        if (m_below == nullptr || m_above == nullptr)
            throw std::runtime_error("cannot reserve the space around the code");
    }
    ~IsolatedCode()
    {
        delete m_memory;
        if (m_below != nullptr)
            VirtualFree(m_below, 0, MEM_RELEASE);
        if (m_above != nullptr)
            VirtualFree(m_above, 0, MEM_RELEASE);
    }
    IsolatedCode(const IsolatedCode&) = delete;
    IsolatedCode& operator=(const IsolatedCode&) = delete;

    ExecutableMemory& memory() { return *m_memory; }

private:
    void* m_below = nullptr;
    void* m_above = nullptr;
    ExecutableMemory* m_memory = nullptr;
};

enum class Engine { NearJump, FarJump };

inline const char* engineName(Engine e)
{
    return e == Engine::NearJump ? "NearJump" : "FarJump";
}

inline bool attach(Engine engine, void** function, void* replacement)
{
    using namespace Overlay::HookEngines;
    if (engine == Engine::NearJump) {
        NearJumpAttachEntry entry{function, replacement, false};
        return attachNearJumps(&entry, 1) == 1 && entry.attached;
    }
    if (beginFarJumpTransaction() != 0)
        return false;
    enlistFarJumpThread(GetCurrentThread());
    stageFarJumpAttach(function, replacement);
    return commitFarJumpTransaction() == 0;
}

inline bool detach(Engine engine, void** function, void* replacement)
{
    using namespace Overlay::HookEngines;
    if (engine == Engine::NearJump) {
        NearJumpDetachEntry entry{function, 0};
        return detachNearJumps(&entry, 1) == 1 && entry.detached != 0;
    }
    if (beginFarJumpTransaction() != 0)
        return false;
    enlistFarJumpThread(GetCurrentThread());
    stageFarJumpDetach(function, replacement);
    return commitFarJumpTransaction() == 0;
}

} // namespace TestCode
