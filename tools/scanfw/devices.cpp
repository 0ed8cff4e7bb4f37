#include "scanfw/devices.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/exit_code.h"
#include "common/wide_string.h"
#include "discovery/selection.h"
#include "firmware/firmware_file.h"
#include "link/device_link.h"
#include "protocol/packets.h"
#include "protocol/update_session.h"
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
    std::optional<PhysicalDevice> device;
};

class Collector : public SelectionObserver {
  public:
    void OnCandidate(const CandidateReport& report) override {
        Candidate candidate{report.source,      std::nullopt,    std::nullopt,   std::nullopt,
                            report.productKind, report.linkKind, report.verdict, std::nullopt};
        if (report.device != nullptr) {
            candidate.device = *report.device;
        }
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

// What --query learnt of one scanner.
struct QueryAnswer {
    bool answered = false;
    std::string model;    // as the scanner reported it
    std::string problem;  // why it was not asked or did not answer
    int exitCode = 0;     // where scanflash -device: would stop for the same reason; 0: unknown
    std::optional<bool> suits;  // the firmware file's model against the scanner's
};

// A counted scanner and the selector that chooses it alone.
struct Scanner {
    const Candidate* candidate;
    std::u16string serial;    // empty: none
    std::u16string location;  // empty: none
    std::u16string selector;  // the text after "-device:"
    bool serialShared = false;
    std::optional<QueryAnswer> query;
};

// A serial number or location more than one counted scanner has; an empty one never is.
bool SharedAmong(const std::vector<Scanner>& scanners, std::u16string Scanner::*field,
                 const std::u16string& value) {
    std::size_t holders = 0;
    for (const Scanner& scanner : scanners) {
        if (!value.empty() && EqualsNoCase((scanner.*field).c_str(), value.c_str())) {
            ++holders;
        }
    }
    return holders > 1;
}

// The serial number when no other counted scanner has it too, else the location when that is
// its alone, else the path the count saw it by.
std::vector<Scanner> CountedScanners(const std::vector<Candidate>& candidates) {
    std::vector<Scanner> scanners;
    for (const Candidate& candidate : candidates) {
        if (candidate.source != CandidateSource::UsbDevice ||
            candidate.verdict != CandidateVerdict::Counted) {
            continue;
        }
        Scanner scanner{&candidate, u"", u"", u"", false, std::nullopt};
        if (candidate.device) {
            scanner.serial = std::u16string(candidate.device->serial);
            scanner.location = std::u16string(candidate.device->location);
        }
        scanners.push_back(scanner);
    }
    for (Scanner& scanner : scanners) {
        scanner.serialShared = SharedAmong(scanners, &Scanner::serial, scanner.serial);
        if (!scanner.serial.empty() && !scanner.serialShared) {
            scanner.selector = u"serial:" + scanner.serial;
        } else if (!scanner.location.empty() &&
                   !SharedAmong(scanners, &Scanner::location, scanner.location)) {
            scanner.selector = u"usb:" + scanner.location;
        } else {
            scanner.selector = scanner.candidate->path.value_or(u"");
        }
    }
    return scanners;
}

const char* OpenProblem(ResultCode result) {
    switch (result) {
        case RESULT_ACCESS_DENIED:
            return "in use by another program, or access denied";
        case RESULT_NO_DEVICE:
            return "its path is gone";
        case RESULT_FEATURE_REFUSED:
            return "it refused the HID feature switch";
        default:
            return "it cannot be opened";
    }
}

// Chooses the scanner as scanflash -device: would, opens it and asks: the connection test
// and the model query, with the waits of the update. The device is closed again on return.
QueryAnswer Ask(DeviceSource& source, DeviceLink& link, const std::u16string& selectorText) {
    QueryAnswer answer;
    DeviceSelector selector;
    if (ParseDeviceSelector(selectorText.c_str(), selector) != nullptr) {
        answer.problem = "not asked: it has no selector of its own";
        return answer;
    }
    const SelectionOutcome outcome = SelectDevice(source, &selector);
    if (outcome.result != RESULT_SUCCESS) {
        answer.problem = std::string("not asked: ") + SelectionOutcomeText(outcome);
        answer.exitCode = MapExitCode(outcome.result);
        return answer;
    }
    ResultCode opened = RESULT_SUCCESS;
    if (!link.Open(outcome.record, &opened)) {
        answer.problem = std::string("not asked: ") + OpenProblem(opened);
        answer.exitCode = MapExitCode(opened);
        return answer;
    }
    link.Flush(CONNECTION_FLUSH_MS);
    std::uint8_t model[MODEL_NAME_MAX] = {};
    if (!AnswersConnectionTest(link)) {
        answer.problem = "no answer to the connection test";
        answer.exitCode = MapExitCode(RESULT_PROTOCOL_ERROR);
    } else if (const std::uint32_t length = QueryDeviceModel(link, model); length == 0) {
        answer.problem = "no answer to the model query";
    } else {
        answer.answered = true;
        answer.model.assign(reinterpret_cast<const char*>(model), length);
    }
    link.StopReader();
    return answer;
}

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

// How to choose a counted scanner, below its path.
void PrintSelectors(const Scanner& scanner, std::ostream& out) {
    out << "             choose with -device:" << Utf16ToUtf8(scanner.selector);
    if (!scanner.location.empty() && !scanner.serial.empty() && !scanner.serialShared) {
        out << " or -device:usb:" << Utf16ToUtf8(scanner.location);
    }
    if (scanner.serial.empty()) {
        out << (scanner.location.empty() ? " (no serial number, no location)"
                                         : " (no serial number)");
    } else if (scanner.serialShared) {
        out << " (its serial number " << Utf16ToUtf8(scanner.serial)
            << " is another scanner's too)";
    }
    out << "\n";
}

std::string QuoteModel(const std::string& model) {
    std::u16string units;
    for (const char c : model) {
        units += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return JsonQuoteWide(units);
}

void PrintQueryText(const std::vector<Scanner>& scanners, const DeviceListing& listing,
                    const std::string& fileModel, std::ostream& out) {
    out << "query\n";
    if (scanners.empty()) {
        out << "  (no scanner to ask)\n";
    }
    for (const Scanner& scanner : scanners) {
        const QueryAnswer& answer = *scanner.query;
        out << "  -device:" << Utf16ToUtf8(scanner.selector) << "  "
            << IdsText(scanner.candidate->identity) << "  ";
        if (!answer.answered) {
            out << answer.problem;
            if (answer.exitCode != 0) {
                out << "; scanflash would stop with exit code " << answer.exitCode;
            }
            out << "\n";
            continue;
        }
        out << "model " << QuoteModel(answer.model);
        if (answer.suits) {
            out << "; " << listing.firmwareFile << " (made for " << QuoteModel(fileModel)
                << (*answer.suits ? ") suits it"
                                  : ") does not suit it: scanflash would stop with exit code 16");
        } else if (!listing.firmwareFile.empty()) {
            out << "; " << listing.firmwareFile << " names no model, so scanflash does not compare";
        }
        out << "\n";
    }
}

void PrintText(const Collector& collector, const std::vector<Scanner>& scanners,
               std::ostream& out) {
    const SelectionOutcome& outcome = collector.outcome;
    for (const CandidateSource source : SOURCES) {
        out << CandidateSourceText(source) << "\n";
        if (!Sees(collector, source)) {
            out << "  " << EmptySourceText(outcome, source) << "\n";
        }
        for (const Candidate& candidate : collector.candidates) {
            if (candidate.source != source) {
                continue;
            }
            PrintCandidate(candidate, out);
            for (const Scanner& scanner : scanners) {
                if (scanner.candidate == &candidate) {
                    PrintSelectors(scanner, out);
                }
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

std::string JsonOrNull(const std::u16string& text) {
    return text.empty() ? "null" : JsonQuoteWide(text);
}

void PrintJsonScanners(const std::vector<Scanner>& scanners, const std::string& fileModel,
                       std::ostream& out) {
    out << "  \"scanners\": [";
    const char* separator = "\n";
    for (const Scanner& scanner : scanners) {
        const UsbIdentity& identity = *scanner.candidate->identity;
        out << separator << "    {\"selector\": " << JsonQuoteWide(scanner.selector)
            << ", \"serial\": " << JsonOrNull(scanner.serial)
            << ", \"location\": " << JsonOrNull(scanner.location) << ", \"vendorId\": \""
            << Hex4(identity.vendorId) << "\", \"productId\": \"" << Hex4(identity.productId)
            << "\", \"path\": " << JsonOrNull(scanner.candidate->path);
        if (scanner.query) {
            const QueryAnswer& answer = *scanner.query;
            out << ", \"query\": {\"answered\": " << (answer.answered ? "true" : "false")
                << ", \"model\": " << (answer.answered ? QuoteModel(answer.model) : "null")
                << ", \"problem\": "
                << (answer.answered ? "null" : JsonText(answer.problem.c_str()))
                << ", \"exitCode\": "
                << (answer.exitCode != 0 ? std::to_string(answer.exitCode) : "null")
                << ", \"fileModel\": " << (answer.suits ? QuoteModel(fileModel) : "null")
                << ", \"suits\": " << (answer.suits ? (*answer.suits ? "true" : "false") : "null")
                << "}";
        }
        out << "}";
        separator = ",\n";
    }
    out << (scanners.empty() ? "],\n" : "\n  ],\n");
}

void PrintJson(const Collector& collector, const std::vector<Scanner>& scanners,
               const std::string& fileModel, std::ostream& out) {
    const SelectionOutcome& outcome = collector.outcome;
    out << "{\n  \"candidates\": [";
    const char* separator = "\n";
    for (const Candidate& candidate : collector.candidates) {
        out << separator << "    {\"source\": \"" << CandidateSourceName(candidate.source)
            << "\", \"path\": " << JsonOrNull(candidate.path)
            << ", \"portName\": " << JsonOrNull(candidate.portName);
        if (candidate.device) {
            out << ", \"serial\": " << JsonOrNull(std::u16string(candidate.device->serial))
                << ", \"location\": " << JsonOrNull(std::u16string(candidate.device->location));
        } else {
            out << ", \"serial\": null, \"location\": null";
        }
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
    PrintJsonScanners(scanners, fileModel, out);
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

int ListDevices(DeviceSource& source, DevicePort* port, const DeviceListing& listing,
                std::ostream& out, std::ostream& err) {
    std::string fileModel;
    if (!listing.firmwareFile.empty()) {
        PreparedUpdate prepared;
        const ResultCode loaded =
            PrepareUpdate(Utf8ToUtf16(listing.firmwareFile).c_str(), prepared);
        if (loaded != RESULT_SUCCESS) {
            err << "scanfw: " << listing.firmwareFile << ": scanflash would stop with exit code "
                << MapExitCode(loaded) << "\n";
            return SCANFW_FAILURE;
        }
        fileModel = prepared.list.model;
        prepared.file.Release();
    }
    Collector collector;
    SelectionObserver* previous = source.Observer();
    source.SetObserver(&collector);
    SelectDevice(source);
    source.SetObserver(nullptr);
    std::vector<Scanner> scanners = CountedScanners(collector.candidates);
    bool everyAnswer = !scanners.empty();
    if (listing.query && port != nullptr) {
        DeviceLink link(*port);
        for (Scanner& scanner : scanners) {
            scanner.query = Ask(source, link, scanner.selector);
            everyAnswer = everyAnswer && scanner.query->answered;
            if (scanner.query->answered && !fileModel.empty()) {
                scanner.query->suits =
                    ModelNameSuits(scanner.query->model.c_str(), fileModel.c_str());
            }
        }
    }
    source.SetObserver(previous);
    if (listing.json) {
        PrintJson(collector, scanners, fileModel, out);
    } else {
        PrintText(collector, scanners, out);
        if (listing.query) {
            PrintQueryText(scanners, listing, fileModel, out);
        }
    }
    if (listing.query) {
        return everyAnswer ? SCANFW_OK : SCANFW_REFUSED;
    }
    return collector.outcome.result == RESULT_SUCCESS ? SCANFW_OK : SCANFW_REFUSED;
}
