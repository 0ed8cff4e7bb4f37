// The locks, events and threads the link is built on. The portable code sees only these;
// each OS build links one implementation (the standard library's on POSIX systems, critical
// sections and Win32 events on Windows).
#pragma once

#include <cstdint>
#include <memory>

constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

// Blocks the calling thread for the given milliseconds.
void SleepMs(std::uint32_t milliseconds);

// A mutual-exclusion lock. Ready() is false when it could not be created, in which case
// Enter and Leave do nothing.
class Lock {
  public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool Ready() const;
    void Enter();
    void Leave();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

class LockGuard {
  public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~LockGuard() { lock_.Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Lock& lock_;
};

// A manual-reset event: stays signalled from Set until Reset, releasing every waiter.
class ManualResetEvent {
  public:
    ManualResetEvent();
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    bool Ready() const;
    void Set();
    void Reset();
    // Waits up to timeoutMs (INFINITE_WAIT: no limit; 0: only looks). True when signalled.
    bool Wait(std::uint32_t timeoutMs);
    bool IsSignalled() { return Wait(0); }

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A thread started with default attributes that runs entry(argument) once.
class Thread {
  public:
    using Entry = void (*)(void* argument);

    Thread();
    ~Thread();  // joins a thread that is still held
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when a thread is already held or the start failed.
    bool Start(Entry entry, void* argument);
    bool Held() const;
    // Waits without limit for the thread to end and releases it. Does nothing when none is held.
    void Join();

    struct State;

  private:
    std::unique_ptr<State> state_;
};
