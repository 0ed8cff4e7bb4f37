#include "sim/sim_options.h"

#include <cstddef>

namespace {

template <typename T>
struct Named {
    std::string_view name;
    T value;
};

constexpr Named<SimStep> STEPS[] = {
    {"connection", SimStep::Connection},
    {"model", SimStep::ModelReply},
    {"update-mode", SimStep::UpdateMode},
    {"poll", SimStep::ReadinessPoll},
    {"datalens", SimStep::DataLens},
    {"filetype", SimStep::FileType},
    {"framesize", SimStep::FrameSize},
    {"frames", SimStep::Frames},
    {"start", SimStep::Start},
    {"frame", SimStep::Frame},
    {"final-star", SimStep::FinalStar},
    {"verdict", SimStep::Verdict},
    {"nextdown", SimStep::NextDown},
    {"exit", SimStep::Exit},
};

constexpr Named<SimFaultKind> KINDS[] = {
    {"silence", SimFaultKind::Silence},
    {"wrong-byte", SimFaultKind::WrongByte},
    {"bad-crc", SimFaultKind::BadCrc},
    {"refuse", SimFaultKind::Refuse},
    {"fail-verdict", SimFaultKind::FailVerdict},
    {"vanish", SimFaultKind::Vanish},
    {"delay", SimFaultKind::Delay},
    {"stray", SimFaultKind::StrayBytes},
    {"trailing", SimFaultKind::TrailingBytes},
};

constexpr Named<LinkKind> LINKS[] = {
    {"serial", LinkKind::SerialPort},
    {"bulk", LinkKind::VendorBulk},
    {"hid", LinkKind::Hid},
    {"hid-feature", LinkKind::HidFeature},
};

template <typename T, std::size_t N>
bool Lookup(const Named<T> (&table)[N], std::string_view name, T& value) {
    for (const Named<T>& entry : table) {
        if (entry.name == name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

// Splits off the text up to the next ':' (or the end).
std::string_view NextField(std::string_view& rest) {
    const std::size_t colon = rest.find(':');
    const std::string_view field = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    return field;
}

}  // namespace

const char SIM_FAULT_HELP[] =
    "      STEP: connection model update-mode poll datalens filetype framesize frames start\n"
    "            frame final-star verdict nextdown exit\n"
    "      KIND: silence wrong-byte bad-crc refuse fail-verdict vanish delay stray\n"
    "            trailing\n"
    "      N:    which time the step comes round, from 1 (default 1; 0 every time)\n"
    "      B:    count only in block B, from 1 (default 0: over the whole run)\n";

bool ParseSimNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

bool ParseSimLinkKind(std::string_view text, LinkKind& link) {
    return Lookup(LINKS, text, link);
}

bool ParseSimFault(std::string_view text, SimFault& fault) {
    const std::string_view step = NextField(text);
    const std::string_view kind = NextField(text);
    if (!Lookup(STEPS, step, fault.step) || !Lookup(KINDS, kind, fault.kind)) {
        return false;
    }
    if (!text.empty() && !ParseSimNumber(NextField(text), fault.occurrence)) {
        return false;
    }
    return text.empty() || (ParseSimNumber(NextField(text), fault.block) && text.empty());
}
