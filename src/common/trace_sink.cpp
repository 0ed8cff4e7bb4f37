#include "common/trace_sink.h"

void TraceReport(TraceSink* sink, TraceTopic topic, const char* format, ...) {
    if (sink == nullptr) {
        return;
    }
    va_list values;
    va_start(values, format);
    sink->Write(topic, format, values);
    va_end(values);
}
