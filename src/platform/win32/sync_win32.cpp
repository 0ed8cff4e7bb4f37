// Win32 implementation of the sync primitives: critical sections, manual-reset events and
// threads started with CreateThread.
#include <new>

#include <windows.h>

#include "common/sync.h"

static_assert(INFINITE_WAIT == INFINITE, "waits are handed to Win32 unchanged");

namespace {
// Spins this often before blocking: the locks are held only for short copies, so a waiter
// usually gets in without a trip into the kernel.
constexpr DWORD LOCK_SPIN_COUNT = 4000000;
}  // namespace

void SleepMs(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

struct Lock::State {
    CRITICAL_SECTION section;
};

Lock::Lock() : state_(new (std::nothrow) State) {
    if (state_ && !InitializeCriticalSectionAndSpinCount(&state_->section, LOCK_SPIN_COUNT)) {
        state_.reset();
    }
}

Lock::~Lock() {
    if (state_) {
        DeleteCriticalSection(&state_->section);
    }
}

bool Lock::Ready() const {
    return state_ != nullptr;
}

void Lock::Enter() {
    if (state_) {
        EnterCriticalSection(&state_->section);
    }
}

void Lock::Leave() {
    if (state_) {
        LeaveCriticalSection(&state_->section);
    }
}

struct ManualResetEvent::State {
    HANDLE event;
};

ManualResetEvent::ManualResetEvent() : state_(new (std::nothrow) State) {
    if (!state_) {
        return;
    }
    state_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (state_->event == nullptr) {
        state_.reset();
    }
}

ManualResetEvent::~ManualResetEvent() {
    if (state_) {
        CloseHandle(state_->event);
    }
}

bool ManualResetEvent::Ready() const {
    return state_ != nullptr;
}

void ManualResetEvent::Set() {
    if (state_) {
        SetEvent(state_->event);
    }
}

void ManualResetEvent::Reset() {
    if (state_) {
        ResetEvent(state_->event);
    }
}

bool ManualResetEvent::Wait(std::uint32_t timeoutMs) {
    return state_ && WaitForSingleObject(state_->event, timeoutMs) == WAIT_OBJECT_0;
}

struct Thread::State {
    HANDLE thread = nullptr;
    Entry entry = nullptr;
    void* argument = nullptr;
};

namespace {
DWORD WINAPI RunThreadEntry(LPVOID raw) {
    auto* state = static_cast<Thread::State*>(raw);
    state->entry(state->argument);
    return 0;
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() {
    Join();
}

bool Thread::Start(Entry entry, void* argument) {
    if (state_) {
        return false;
    }
    std::unique_ptr<State> state(new (std::nothrow) State);
    if (!state) {
        return false;
    }
    state->entry = entry;
    state->argument = argument;
    state->thread = CreateThread(nullptr, 0, RunThreadEntry, state.get(), 0, nullptr);
    if (state->thread == nullptr) {
        return false;
    }
    state_ = std::move(state);
    return true;
}

bool Thread::Held() const {
    return state_ != nullptr;
}

void Thread::Join() {
    if (!state_) {
        return;
    }
    WaitForSingleObject(state_->thread, INFINITE);
    CloseHandle(state_->thread);
    state_.reset();
}
