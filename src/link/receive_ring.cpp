#include "link/receive_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

ReceiveRing::~ReceiveRing() {
    delete[] buffer_;
}

void ReceiveRing::Allocate(std::uint32_t capacity) {
    if (buffer_ != nullptr) {
        return;
    }
    buffer_ = new (std::nothrow) std::uint8_t[capacity];
    if (buffer_ != nullptr) {
        capacity_ = capacity;
    }
}

bool ReceiveRing::Put(std::uint32_t n, const std::uint8_t* source) {
    if (n == 0) {
        return true;
    }
    LockGuard hold(lock_);
    const bool wasEmpty = count_ == 0;
    if (static_cast<std::uint64_t>(count_) + n > capacity_) {
        return false;
    }
    // At most two pieces: up to the end of the storage, then from its start.
    const std::uint32_t first = std::min(n, capacity_ - writePos_);
    std::memcpy(buffer_ + writePos_, source, first);
    std::memcpy(buffer_, source + first, n - first);
    writePos_ = (writePos_ + n) % capacity_;
    count_ += n;
    if (wasEmpty) {
        dataEvent_.Set();
    }
    return true;
}

std::uint32_t ReceiveRing::Get(std::uint32_t n, std::uint8_t* destination) {
    if (n == 0) {
        return 0;
    }
    LockGuard hold(lock_);
    if (count_ == 0) {
        return 0;
    }
    const std::uint32_t taken = std::min(n, count_);
    const std::uint32_t first = std::min(taken, capacity_ - readPos_);
    std::memcpy(destination, buffer_ + readPos_, first);
    std::memcpy(destination + first, buffer_, taken - first);
    readPos_ = (readPos_ + taken) % capacity_;
    count_ -= taken;
    if (count_ == 0) {
        dataEvent_.Reset();
    }
    return taken;
}

std::uint32_t ReceiveRing::Clear() {
    LockGuard hold(lock_);
    const std::uint32_t dropped = count_;
    count_ = 0;
    writePos_ = 0;
    readPos_ = 0;
    dataEvent_.Reset();
    return dropped;
}

void ReceiveRing::PulseDataEvent() {
    LockGuard hold(lock_);
    dataEvent_.Set();
    if (count_ == 0) {
        dataEvent_.Reset();
    }
}

std::uint32_t ReceiveRing::Count() {
    LockGuard hold(lock_);
    return count_;
}
