// The one connection to the device: its DeviceIo, the reader thread that moves every byte
// the device sends into the ReceiveRing, framed writes under the main lock, and the timed
// reads the protocol takes its answers with.
//
// Locks, outermost first: stopLock_ (held for one whole StopReader, so that two overlapping
// stops, say the console handler's and the main thread's, never release the thread twice
// and the second simply finds it gone), then mainLock_ (one whole framed write, or the
// reader's final close), then the ring's lock (only while bytes are copied). StopReader is
// never called with mainLock_ held: it waits for the reader, which takes mainLock_ on its
// way out. StartReader and ReaderHeld take stopLock_ too, so the reader's handle is only ever
// touched under it, whichever thread (the console handler's among them) asks.
//
// A link can be opened again after StopReader: the stop flags are cleared when the reader
// has been released and again by Open.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/result_code.h"
#include "common/sync.h"
#include "common/trace_sink.h"
#include "discovery/identity.h"
#include "link/device_io.h"
#include "link/link_clock.h"
#include "link/receive_ring.h"

// As the following wait of ReadTimed: the link's default wait (defaultWaitMs).
constexpr std::uint32_t LINK_DEFAULT_WAIT = 0xFFFFFFFEu;
constexpr std::uint32_t LINK_DEFAULT_WAIT_MS = 20;

constexpr std::uint32_t HID_REPORT_SIZE = 64;
constexpr std::uint8_t HID_INPUT_REPORT_ID = 0x02;
constexpr std::uint8_t HID_OUTPUT_REPORT_ID = 0x04;
constexpr std::uint32_t HID_OUTPUT_DATA_MAX = 56;
constexpr std::uint32_t HID_INPUT_PAYLOAD_MAX = 62;
constexpr std::uint32_t HID_WRITE_WAIT_MS = 1000;
constexpr std::uint32_t BULK_WRITE_CHUNK = 65536;
constexpr std::uint32_t BULK_WRITE_WAIT_MS = 1000;
constexpr std::uint32_t SERIAL_WRITE_CHUNK = 4096;

class DeviceLink {
  public:
    // ringCapacity is RING_CAPACITY in the product; tests may pass a smaller one or 0 (no
    // storage).
    explicit DeviceLink(DevicePort& port, std::uint32_t ringCapacity = RING_CAPACITY);
    // Every wait and pause of the link, and of the protocol above it, is taken on clock.
    DeviceLink(DevicePort& port, LinkClock& clock, std::uint32_t ringCapacity = RING_CAPACITY);
    virtual ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // True when the device is open and the reader runs. result (optional) gets 0 or the
    // reason: 6 not set up (a lock or event of the link or its ring could not be created), 4
    // already open, the open's code, 1 when the reader cannot start.
    bool Open(const DeviceRecord& record, ResultCode* result);
    // A locked, framed write. After a failed write the reader is stopped (closing the device).
    bool Send(const std::uint8_t* bytes, std::uint32_t count);
    // Virtual so that a test can make the thread start fail.
    virtual bool StartReader();
    void StopReader();
    // Frames and writes the bytes for the open link kind; the caller holds the main lock. A
    // stop request ends it between two reports or chunks (false), so that the reader's close
    // follows within one report's or chunk's wait rather than a whole frame's.
    bool WriteFramed(const std::uint8_t* bytes, std::uint32_t count);

    // A read that ends short is reported to the trace, if there is one.
    std::uint32_t ReadTimed(std::uint32_t firstWaitMs, std::uint8_t* destination, std::uint32_t n,
                            std::uint32_t followingWaitMs);
    bool ReadByte(std::uint32_t firstWaitMs, std::uint8_t* destination);
    std::uint32_t Flush(std::uint32_t drainMs);

    bool IsOpen() const { return io_.IsOpen(); }
    // Never called with the main lock held (it takes the stop lock).
    bool ReaderHeld() const;
    LinkKind CurrentLinkKind() const { return linkKind_.load(std::memory_order_acquire); }
    const DeviceRecord& Record() const { return record_; }
    bool Connected() const { return connected_; }
    ReceiveRing& Ring() { return ring_; }
    Lock& MainLock() { return mainLock_; }

    // The trace of a traced run, or null; it lives at least as long as the link uses it.
    void SetTrace(TraceSink* trace) { trace_.store(trace, std::memory_order_release); }
    TraceSink* Trace() const { return trace_.load(std::memory_order_acquire); }

    std::uint32_t defaultWaitMs = LINK_DEFAULT_WAIT_MS;

  private:
    static void ReaderEntry(void* self);
    void ReaderLoop();
    // Puts the payloads of a read of whole 64-byte input reports into the ring; false at the
    // first that breaks the rules (or when the read is no whole number of reports).
    bool PutHidReports(const std::uint8_t* chunk, std::uint32_t count);
    bool StopPending() const { return stopRequested_.load(std::memory_order_acquire); }
    bool WriteHidReports(const std::uint8_t* bytes, std::uint32_t count);
    std::uint32_t ReadFromRing(std::uint32_t firstWaitMs, std::uint8_t* destination,
                               std::uint32_t n, std::uint32_t followingWaitMs);

    Lock mainLock_;
    mutable Lock stopLock_;
    Thread readerThread_;
    LinkClock& clock_;
    DeviceIo io_;
    ReceiveRing ring_;
    std::atomic<bool> stopRequested_{false};
    bool initialised_ = false;
    std::atomic<LinkKind> linkKind_{LinkKind::Unsupported};
    DeviceRecord record_{};
    bool connected_ = false;
    std::atomic<TraceSink*> trace_{nullptr};
};
