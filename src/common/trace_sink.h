// Where the core reports what a traced run does (SCANFLASH_TRACE names the trace file). The
// update trace implements it and puts every report into the file at once, so that a process
// that ends right after one still leaves it there. An untraced run has no sink, and every
// report is then one pointer test.
#pragma once

#include <cstdarg>
#include <cstdint>

enum class TraceTopic : std::uint8_t {
    Step,     // a step of the session; the trace names the last one when a run fails
    File,     // what the loader found in the firmware file
    Wait,     // a timed read that ended short, a flush
    Failure,  // the session failed here, before it closes with "@Exit"
    Note,     // anything else worth knowing
};

class TraceSink {
  public:
    virtual ~TraceSink() = default;
    virtual void Write(TraceTopic topic, const char* format, va_list values)
        __attribute__((format(printf, 3, 0))) = 0;
};

// A printf-style line to sink; nothing when sink is null.
void TraceReport(TraceSink* sink, TraceTopic topic, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
