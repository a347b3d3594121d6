// Cost of hooking: a call through replacement and trampoline against a direct call, and the time
// to attach and detach a batch of 20 functions while 8 threads keep calling them.
#include "common/bench_util.h"
#include "test_code.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace TestCode;

namespace {

using Bench::bestOf;
using Bench::Clock;

// x + 1, long enough for both engines.
std::uint8_t* target(ExecutableMemory& mem)
{
    return mem.add({0x8D, 0x41, 0x01,              // lea eax,[rcx+1]
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0xC3});
}

void* volatile g_real = nullptr;

int forward(int x)
{
    return reinterpret_cast<IntFn>(g_real)(x);
}

volatile int g_sink = 0;

double nsPerCall(IntFn volatile* function, int calls)
{
    return bestOf(7,
                  [&] {
                      int sum = 0;
                      for (int i = 0; i < calls; ++i)
                          sum += (*function)(i);
                      g_sink = sum;
                  }) /
           calls * 1e9;
}

void callOverhead()
{
    const int calls = 20000000;
    ExecutableMemory mem;
    std::uint8_t* code = target(mem);
    IntFn volatile function = reinterpret_cast<IntFn>(code);
    const double direct = nsPerCall(&function, calls);
    for (const Engine engine : {Engine::NearJump, Engine::FarJump}) {
        g_real = code;
        if (!attach(engine, const_cast<void**>(&g_real), reinterpret_cast<void*>(&forward))) {
            std::printf("call overhead (%s): attach failed\n", engineName(engine));
            continue;
        }
        const double hooked = nsPerCall(&function, calls);
        detach(engine, const_cast<void**>(&g_real), reinterpret_cast<void*>(&forward));
        std::printf("call overhead (%s): direct %.2f ns/call, hooked (replacement + trampoline) %.2f ns/call; "
                    "ratio %.2f, %.2f ns added\n",
                    engineName(engine), direct, hooked, hooked / direct, hooked - direct);
    }
}

void batch(int busyThreads)
{
    using namespace Overlay::HookEngines;
    const int functions = 20;
    const int rounds = 30;
    ExecutableMemory mem;
    std::vector<std::uint8_t*> code;
    for (int i = 0; i < functions; ++i)
        code.push_back(target(mem));
    std::vector<void*> slots(functions);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < busyThreads; ++t) {
        threads.emplace_back([&, t] {
            int sum = 0;
            for (int i = t; !stop; ++i)
                sum += reinterpret_cast<IntFn>(code[static_cast<std::size_t>(i) % code.size()])(i);
            g_sink = sum;
        });
    }
    for (const Engine engine : {Engine::NearJump, Engine::FarJump}) {
        std::vector<double> times;
        bool ok = true;
        for (int round = 0; round < rounds && ok; ++round) {
            for (int i = 0; i < functions; ++i)
                slots[i] = code[i];
            const auto start = Clock::now();
            if (engine == Engine::NearJump) {
                std::vector<NearJumpAttachEntry> attachEntries;
                std::vector<NearJumpDetachEntry> detachEntries;
                for (int i = 0; i < functions; ++i) {
                    attachEntries.push_back({&slots[i], reinterpret_cast<void*>(&forward), false});
                    detachEntries.push_back({&slots[i], 0});
                }
                ok = attachNearJumps(attachEntries.data(), functions) == functions &&
                     detachNearJumps(detachEntries.data(), functions) == functions;
            } else {
                beginFarJumpTransaction();
                for (int i = 0; i < functions; ++i)
                    stageFarJumpAttach(&slots[i], reinterpret_cast<void*>(&forward));
                ok = commitFarJumpTransaction() == 0;
                beginFarJumpTransaction();
                for (int i = 0; i < functions; ++i)
                    stageFarJumpDetach(&slots[i], reinterpret_cast<void*>(&forward));
                ok = commitFarJumpTransaction() == 0 && ok;
            }
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count() * 1e3);
        }
        if (!ok)
            std::printf("batch of %d (%s), %d busy threads: failed\n", functions, engineName(engine), busyThreads);
        else
            std::printf("batch of %d (%s), %d busy threads: attach + detach median %.2f ms, best %.2f ms\n", functions,
                        engineName(engine), busyThreads, Bench::percentile(times, 0.5),
                        *std::min_element(times.begin(), times.end()));
    }
    stop = true;
    for (std::thread& t : threads)
        t.join();
}

}  // namespace

int main()
{
    callOverhead();
    batch(0);
    batch(8);
    return 0;
}
