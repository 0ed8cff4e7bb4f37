#include "sim/hid_framing.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr std::uint8_t OUTPUT_REPORT_ID = 0x04;
constexpr std::uint8_t INPUT_REPORT_ID = 0x02;
constexpr std::size_t OUTPUT_DATA_MAX = 56;
constexpr std::size_t INPUT_PAYLOAD_MAX = 62;
constexpr std::size_t CONTINUATION = SIM_HID_REPORT_SIZE - 1;

}  // namespace

void HidOutputReader::Feed(const std::uint8_t* bytes, std::size_t length, SimScanner& scanner) {
    while (length > 0) {
        const std::size_t take = std::min(length, SIM_HID_REPORT_SIZE - fill_);
        std::memcpy(report_.data() + fill_, bytes, take);
        fill_ += take;
        bytes += take;
        length -= take;
        if (fill_ == SIM_HID_REPORT_SIZE) {
            fill_ = 0;
            TakeReport(scanner);
        }
    }
}

void HidOutputReader::TakeReport(SimScanner& scanner) {
    const std::size_t count = report_[1];
    if (report_[0] != OUTPUT_REPORT_ID) {
        scanner.NoteProtocolError("output report with id " + std::to_string(report_[0]));
        return;
    }
    if (count == 0 || count > OUTPUT_DATA_MAX) {
        scanner.NoteProtocolError("output report counting " + std::to_string(count) + " bytes");
        return;
    }
    const auto fillBegin = report_.begin() + static_cast<std::ptrdiff_t>(2 + count);
    const auto fillEnd = report_.begin() + static_cast<std::ptrdiff_t>(CONTINUATION);
    if (std::any_of(fillBegin, fillEnd, [](std::uint8_t b) { return b != 0; })) {
        scanner.NoteProtocolError("output report with non-zero bytes after its data");
    }
    const std::uint8_t more = report_[CONTINUATION];
    // A write fills every report but its last, so a short report must end its write.
    if (more > 1 || (more == 1 && count < OUTPUT_DATA_MAX)) {
        scanner.NoteProtocolError("output report with continuation byte " + std::to_string(more) +
                                  " after " + std::to_string(count) + " bytes");
    }
    scanner.OnHostBytes(report_.data() + 2, count);
}

void AppendInputReports(const std::uint8_t* bytes, std::size_t length,
                        std::vector<std::uint8_t>& out) {
    while (length > 0) {
        const std::size_t take = std::min(length, INPUT_PAYLOAD_MAX);
        const std::size_t start = out.size();
        out.resize(start + SIM_HID_REPORT_SIZE, 0);
        out[start] = INPUT_REPORT_ID;
        out[start + 1] = static_cast<std::uint8_t>(take);
        std::memcpy(out.data() + start + 2, bytes, take);
        bytes += take;
        length -= take;
    }
}
