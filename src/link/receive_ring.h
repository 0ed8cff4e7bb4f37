// The bytes the reader thread took from the device, held until the protocol asks for them.
// One producer (the reader thread) and one consumer (the main thread). dataEvent is signalled
// exactly while the ring holds bytes, so the consumer can wait on it without a lock.
#pragma once

#include <cstdint>

#include "common/sync.h"

constexpr std::uint32_t RING_CAPACITY = 0x200000;  // 2 MiB

class ReceiveRing {
  public:
    ReceiveRing() = default;
    ~ReceiveRing();
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    // Allocates the storage once; on failure capacity stays 0 and every put is refused.
    void Allocate(std::uint32_t capacity);

    // All or nothing: false (and nothing stored) when n bytes do not fit.
    bool Put(std::uint32_t n, const std::uint8_t* source);
    // Copies up to n bytes out; returns how many.
    std::uint32_t Get(std::uint32_t n, std::uint8_t* destination);
    // Drops everything held; returns how many bytes were dropped.
    std::uint32_t Clear();
    // Pulses dataEvent (set, and reset again when empty) so that a waiting consumer wakes up
    // and sees that the device has gone.
    void PulseDataEvent();

    // False when the lock or the data event could not be created: the ring cannot be used.
    bool Ready() const { return lock_.Ready() && dataEvent_.Ready(); }
    ManualResetEvent& DataEvent() { return dataEvent_; }
    std::uint32_t Capacity() const { return capacity_; }
    std::uint32_t Count();

  private:
    std::uint8_t* buffer_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t writePos_ = 0;
    std::uint32_t readPos_ = 0;
    std::uint32_t count_ = 0;
    Lock lock_;
    ManualResetEvent dataEvent_;
};
