// Standard-library implementation of the sync primitives for POSIX builds.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include <pthread.h>

#include "common/sync.h"

void SleepMs(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

struct Lock::State {
    std::mutex mutex;
};

Lock::Lock() : state_(new (std::nothrow) State) {}
Lock::~Lock() = default;
bool Lock::Ready() const {
    return state_ != nullptr;
}
void Lock::Enter() {
    if (state_) {
        state_->mutex.lock();
    }
}
void Lock::Leave() {
    if (state_) {
        state_->mutex.unlock();
    }
}

struct ManualResetEvent::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    // Counts Set calls, so that a Set followed at once by a Reset still releases the threads
    // that were waiting at the time, as a Win32 event does.
    std::uint64_t setCount = 0;
};

ManualResetEvent::ManualResetEvent() : state_(new (std::nothrow) State) {}
ManualResetEvent::~ManualResetEvent() = default;
bool ManualResetEvent::Ready() const {
    return state_ != nullptr;
}

void ManualResetEvent::Set() {
    if (!state_) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        state_->signalled = true;
        ++state_->setCount;
    }
    state_->changed.notify_all();
}

void ManualResetEvent::Reset() {
    if (!state_) {
        return;
    }
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->signalled = false;
}

bool ManualResetEvent::Wait(std::uint32_t timeoutMs) {
    if (!state_) {
        return false;
    }
    std::unique_lock<std::mutex> hold(state_->mutex);
    const std::uint64_t setCountAtStart = state_->setCount;
    const auto released = [this, setCountAtStart] {
        return state_->signalled || state_->setCount != setCountAtStart;
    };
    if (timeoutMs == INFINITE_WAIT) {
        state_->changed.wait(hold, released);
        return true;
    }
    return state_->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), released);
}

struct Thread::State {
    pthread_t thread{};
    Entry entry = nullptr;
    void* argument = nullptr;
};

namespace {
void* RunThreadEntry(void* raw) {
    auto* state = static_cast<Thread::State*>(raw);
    state->entry(state->argument);
    return nullptr;
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
    // pthread_create rather than std::thread: a failed start must come back as a flag.
    if (pthread_create(&state->thread, nullptr, RunThreadEntry, state.get()) != 0) {
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
    pthread_join(state_->thread, nullptr);
    state_.reset();
}
