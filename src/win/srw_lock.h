#pragma once
// Holds a slim reader/writer lock exclusively for a scope. The slim lock rather than std::mutex where
// waits are frequent: under Wine it waits and wakes through a futex, while the MinGW runtime's mutex
// and condition variable take a round trip through the server.
//
//   Win::SrwExclusive locked(lock_);

#include <windows.h>

namespace Win {

class SrwExclusive
{
public:
    explicit SrwExclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwExclusive() { ReleaseSRWLockExclusive(&lock_); }
    SrwExclusive(const SrwExclusive&) = delete;
    SrwExclusive& operator=(const SrwExclusive&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace Win
