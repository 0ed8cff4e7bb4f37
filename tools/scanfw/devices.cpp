#include "scanfw/devices.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/exit_code.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "scanfw/json_text.h"
#include "scanfw/scanfw.h"

namespace {

constexpr CandidateSource SOURCES[] = {CandidateSource::UsbDevice, CandidateSource::VendorInterface,
                                       CandidateSource::HidInterface, CandidateSource::Port};

// A candidate report that outlives the call it came with.
struct Candidate {
    CandidateSource source;
    std::optional<std::u16string> path;
    std::optional<std::u16string> portName;
    std::optional<UsbIdentity> identity;
    LinkKind productKind;
    LinkKind linkKind;
    CandidateVerdict verdict;
};

class Collector : public SelectionObserver {
  public:
    void OnCandidate(const CandidateReport& report) override {
        Candidate candidate{report.source,      std::nullopt,    std::nullopt,  std::nullopt,
                            report.productKind, report.linkKind, report.verdict};
        if (report.path != nullptr) {
            candidate.path = report.path;
        }
        if (report.portName != nullptr) {
            candidate.portName = report.portName;
        }
        if (report.identityKnown) {
            candidate.identity = report.identity;
        }
        candidates.push_back(std::move(candidate));
    }
    void OnOutcome(const SelectionOutcome& seen) override { outcome = seen; }

    std::vector<Candidate> candidates;
    SelectionOutcome outcome;
};

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}

std::string IdsText(const std::optional<UsbIdentity>& identity) {
    return identity ? Hex4(identity->vendorId) + ":" + Hex4(identity->productId) : "----:----";
}

std::string InterfaceText(const UsbIdentity& identity) {
    return identity.hasInterface ? "interface " + std::to_string(identity.interfaceNumber)
                                 : "no interface number";
}

bool Sees(const Collector& collector, CandidateSource source) {
    for (const Candidate& candidate : collector.candidates) {
        if (candidate.source == source) {
            return true;
        }
    }
    return false;
}

// Why a source shows nothing: it was not reached, or it had nothing to show.
const char* EmptySourceText(const SelectionOutcome& outcome, CandidateSource source) {
    switch (source) {
        case CandidateSource::UsbDevice:
            return "(none)";
        case CandidateSource::VendorInterface:
        case CandidateSource::HidInterface:
            return outcome.interfacesScanned ? "(none)"
                                             : "(not looked at: the count already decides)";
        case CandidateSource::Port:
            if (!outcome.interfacesScanned) {
                return "(not looked at: the count already decides)";
            }
            return outcome.portsScanned ? "(none)"
                                        : "(not looked at: the interfaces already gave two)";
    }
    return "(none)";
}

void PrintCandidate(const Candidate& candidate, std::ostream& out) {
    out << "  " << IdsText(candidate.identity) << "  ";
    if (candidate.identity) {
        out << LinkKindText(candidate.productKind) << ", " << InterfaceText(*candidate.identity);
    } else {
        out << "identity unknown";
    }
    if (candidate.portName) {
        out << ", port " << Utf16ToUtf8(*candidate.portName);
    }
    out << ": " << CandidateVerdictText(candidate.verdict);
    if (candidate.verdict == CandidateVerdict::Taken) {
        out << ", to open as " << LinkKindText(candidate.linkKind);
    }
    out << "\n";
    if (candidate.path) {
        out << "             " << Utf16ToUtf8(*candidate.path) << "\n";
    }
}

std::string RecordInterfaceText(const DeviceRecord& record) {
    return record.interfacePlusOne == 0
               ? "no interface number"
               : "interface " + std::to_string(record.interfacePlusOne - 1);
}

void PrintText(const Collector& collector, std::ostream& out) {
    const SelectionOutcome& outcome = collector.outcome;
    for (const CandidateSource source : SOURCES) {
        out << CandidateSourceText(source) << "\n";
        if (!Sees(collector, source)) {
            out << "  " << EmptySourceText(outcome, source) << "\n";
        }
        for (const Candidate& candidate : collector.candidates) {
            if (candidate.source == source) {
                PrintCandidate(candidate, out);
            }
        }
    }
    out << "outcome\n";
    out << "  supported USB devices: " << outcome.usbDevices;
    if (outcome.interfacesScanned) {
        out << "; paths: " << outcome.interfaceRecords << " from the interface classes";
        if (outcome.portsScanned) {
            out << ", " << outcome.portRecords << " from the COM ports";
        }
    }
    out << "\n";
    if (outcome.result == RESULT_SUCCESS) {
        const DeviceRecord& record = outcome.record;
        out << "  scanflash would open " << Utf16ToUtf8(record.path) << " as "
            << LinkKindText(record.linkKind) << " (" << Hex4(record.vendorId) << ":"
            << Hex4(record.productId) << ", " << RecordInterfaceText(record) << ")\n";
    } else {
        out << "  scanflash would stop with exit code " << MapExitCode(outcome.result) << ": "
            << SelectionOutcomeText(outcome) << "\n";
    }
}

std::string JsonOrNull(const std::optional<std::u16string>& text) {
    return text ? JsonQuoteWide(*text) : "null";
}

std::string JsonText(const char* text) {
    return JsonQuoteWide(Utf8ToUtf16(text));
}

void PrintJson(const Collector& collector, std::ostream& out) {
    const SelectionOutcome& outcome = collector.outcome;
    out << "{\n  \"candidates\": [";
    const char* separator = "\n";
    for (const Candidate& candidate : collector.candidates) {
        out << separator << "    {\"source\": \"" << CandidateSourceName(candidate.source)
            << "\", \"path\": " << JsonOrNull(candidate.path)
            << ", \"portName\": " << JsonOrNull(candidate.portName);
        if (candidate.identity) {
            const UsbIdentity& identity = *candidate.identity;
            out << ", \"vendorId\": \"" << Hex4(identity.vendorId) << "\", \"productId\": \""
                << Hex4(identity.productId) << "\", \"interface\": "
                << (identity.hasInterface ? std::to_string(identity.interfaceNumber) : "null")
                << ", \"productKind\": \"" << LinkKindName(candidate.productKind) << "\"";
        } else {
            out << ", \"vendorId\": null, \"productId\": null, \"interface\": null"
                   ", \"productKind\": null";
        }
        out << ", \"linkKind\": ";
        if (candidate.verdict == CandidateVerdict::Taken) {
            out << "\"" << LinkKindName(candidate.linkKind) << "\"";
        } else {
            out << "null";
        }
        out << ", \"verdict\": \"" << CandidateVerdictName(candidate.verdict)
            << "\", \"text\": " << JsonText(CandidateVerdictText(candidate.verdict)) << "}";
        separator = ",\n";
    }
    out << (collector.candidates.empty() ? "],\n" : "\n  ],\n");
    out << "  \"usbDevices\": " << outcome.usbDevices << ",\n";
    out << "  \"interfacesScanned\": " << (outcome.interfacesScanned ? "true" : "false") << ",\n";
    out << "  \"interfaceRecords\": " << outcome.interfaceRecords << ",\n";
    out << "  \"portsScanned\": " << (outcome.portsScanned ? "true" : "false") << ",\n";
    out << "  \"portRecords\": " << outcome.portRecords << ",\n";
    out << "  \"outcome\": {\"resultCode\": " << outcome.result << ", \"exitCode\": ";
    if (outcome.result == RESULT_SUCCESS) {
        const DeviceRecord& record = outcome.record;
        out << "null, \"device\": {\"path\": " << JsonQuoteWide(record.path) << ", \"vendorId\": \""
            << Hex4(record.vendorId) << "\", \"productId\": \"" << Hex4(record.productId)
            << "\", \"interface\": "
            << (record.interfacePlusOne == 0 ? std::string("null")
                                             : std::to_string(record.interfacePlusOne - 1))
            << ", \"linkKind\": \"" << LinkKindName(record.linkKind) << "\"}";
    } else {
        out << MapExitCode(outcome.result) << ", \"device\": null";
    }
    out << ", \"text\": " << JsonText(SelectionOutcomeText(outcome)) << "}\n}\n";
}

}  // namespace

int ListDevices(DeviceSource& source, bool json, std::ostream& out) {
    Collector collector;
    SelectionObserver* previous = source.Observer();
    source.SetObserver(&collector);
    SelectDevice(source);
    source.SetObserver(previous);
    if (json) {
        PrintJson(collector, out);
    } else {
        PrintText(collector, out);
    }
    return collector.outcome.result == RESULT_SUCCESS ? SCANFW_OK : SCANFW_REFUSED;
}
