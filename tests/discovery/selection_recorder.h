// An observer for tests: what a device source reported, candidate by candidate, and the
// selection's outcome.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/selection.h"

// One candidate as the observer heard of it.
struct Seen {
    CandidateSource source;
    CandidateVerdict verdict;
    bool operator==(const Seen&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << CandidateSourceName(seen.source) << ":" << CandidateVerdictName(seen.verdict);
}

class SelectionRecorder : public SelectionObserver {
  public:
    void OnCandidate(const CandidateReport& report) override {
        seen.push_back({report.source, report.verdict});
        paths.push_back(report.path != nullptr ? report.path : u"");
        linkKinds.push_back(report.linkKind);
        vendors.push_back(report.identityKnown ? report.identity.vendorId : 0);
    }
    void OnOutcome(const SelectionOutcome& outcome) override {
        ++outcomes;
        last = outcome;
    }

    std::vector<Seen> seen;
    std::vector<std::u16string> paths;
    std::vector<LinkKind> linkKinds;
    std::vector<std::uint16_t> vendors;  // 0 when the identity is not known
    std::uint32_t outcomes = 0;
    SelectionOutcome last;
};

namespace seen_sources {
constexpr CandidateSource USB = CandidateSource::UsbDevice;
constexpr CandidateSource VENDOR = CandidateSource::VendorInterface;
constexpr CandidateSource HID = CandidateSource::HidInterface;
constexpr CandidateSource PORT = CandidateSource::Port;
}  // namespace seen_sources
