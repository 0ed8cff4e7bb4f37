#include "scanfw/scanfw.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

#include "common/exit_code.h"
#include "common/wide_string.h"
#include "firmware/firmware_file.h"
#include "fwwriter/firmware_writer.h"
#include "scanfw/devices.h"
#include "scanfw/json_text.h"

namespace {

constexpr const char* USAGE =
    "Usage:\n"
    "  scanfw info FILE [--json]\n"
    "  scanfw devices [--json]\n"
    "  scanfw pack --format bin|pak|pk2|qfp --out FILE --block TAG=PATH[:EXTRA] ...\n"
    "              [--model TEXT] [--text2 TEXT] [--text3 TEXT] [--text4 TEXT] [--text5 TEXT]\n"
    "              [--update-method N] [--padding N] [--break KIND[:INDEX]]\n"
    "Break kinds: magic, file-size, crc, counts, tag, length, offset, overflow, text.\n";

int UsageError(std::ostream& err, const std::string& message) {
    err << "scanfw: " << message << "\n" << USAGE;
    return SCANFW_FAILURE;
}

// Decimal or 0x-prefixed hexadecimal, whole text, at most 32 bits.
bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;  // strtoull would also take blanks and signs
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (end == text.c_str() || *end != 0 || parsed > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08" PRIX32, value);
    return text;
}

// 8-bit text from a file, shown as a quoted string with anything unprintable escaped; the
// same escapes are valid JSON.
std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A UTF-8 path as a JSON string: non-ASCII goes out as \u escapes of its UTF-16 units.
std::string QuotePath(const std::string& path) {
    return JsonQuoteWide(Utf8ToUtf16(path));
}

std::string BlockTypeName(std::uint32_t type) {
    if (type >= BLOCK_TYPE_BOOT && type <= BLOCK_TYPE_APPL) {
        return BLOCK_TYPE_NAMES[type - 1];
    }
    return "type" + std::to_string(type);
}

struct EntryView {
    std::string tag;
    PackageEntry entry;
};

struct TextView {
    const char* name;
    std::string value;
};

// Everything info prints, gathered once for both output forms.
struct InfoView {
    std::string path;
    FirmwareLayout layout = FirmwareLayout::Unknown;
    std::optional<std::uint64_t> size;
    ResultCode loadResult = RESULT_SUCCESS;
    ParseReport report = {};
    bool parsed = false;  // the layout's checks passed and the body below is filled
    std::string model;
    std::vector<TextView> texts;
    std::vector<std::pair<const char*, std::uint32_t>> numbers;
    std::vector<EntryView> entries;
    std::vector<UpdateBlock> blocks;
    std::vector<std::string> blockTags;
    bool sent = false;
    std::string verdict;
    std::optional<ResultCode> result;
    int exitCode = 0;
};

std::optional<std::uint64_t> FileSizeOf(const std::string& path) {
    const std::unique_ptr<FileReader> file = OpenFileReader(Utf8ToUtf16(path).c_str());
    std::uint64_t size = 0;
    if (file == nullptr || !file->Measure(size)) {
        return std::nullopt;
    }
    return size;
}

void FillBody(const PackageInfo& info, InfoView& view) {
    view.model = info.model;
    std::uint32_t normalCount = 0;
    const PackageEntry* entries = nullptr;
    std::uint32_t count = 0;
    switch (info.container) {
        case ContainerKind::Bin:
            view.texts = {{"text2", info.bin.text2},
                          {"text3", info.bin.text3},
                          {"text4", info.bin.text4},
                          {"text5", info.bin.text5}};
            view.numbers = {{"imageEnd", info.bin.imageEnd}};
            entries = info.bin.entries;
            count = normalCount = info.bin.entryCount;
            break;
        case ContainerKind::Pak:
            view.texts = {{"text2", info.pak.text2}, {"text3", info.pak.text3}};
            view.numbers = {{"fileSize", info.pak.fileSize}};
            entries = info.pak.entries;
            count = normalCount = info.pak.entryCount;
            break;
        case ContainerKind::Qfp:
            view.texts = {{"text2", info.qfp.text2}, {"text3", info.qfp.text3}};
            view.numbers = {{"updateMethod", info.qfp.updateMethod},
                            {"normalCount", info.qfp.normalCount},
                            {"exflCount", info.qfp.exflCount}};
            entries = info.qfp.entries;
            normalCount = info.qfp.normalCount;
            count = normalCount + info.qfp.exflCount;
            break;
        case ContainerKind::None:
            break;
    }
    view.numbers.emplace_back("kernOffset", info.kernOffset);
    view.numbers.emplace_back("kernLength", info.kernLength);
    for (std::uint32_t i = 0; i < count; ++i) {
        view.entries.push_back(
            {i < normalCount ? BlockTypeName(entries[i].type) : "exfl", entries[i]});
    }
}

std::string FailedCheckText(const InfoView& view) {
    const std::string text = ParseCheckText(view.report.check);
    switch (view.report.check) {
        case ParseCheck::SectionLength:
        case ParseCheck::Bounds:
            if (view.layout == FirmwareLayout::Pak || view.layout == FirmwareLayout::Pk2) {
                return "section " + std::to_string(view.report.index + 1) + " (" +
                       BLOCK_TYPE_NAMES[view.report.index] + "): " + text;
            }
            return "entry " + std::to_string(view.report.index) + ": " + text;
        case ParseCheck::EntryLength:
        case ParseCheck::EntryTag:
            return "entry " + std::to_string(view.report.index) + ": " + text;
        default:
            return text;
    }
}

struct Failure {
    std::string word;
    std::string text;
};

// What stopped the loader before the block list, if anything.
std::optional<Failure> LoadFailure(const InfoView& view) {
    if (view.loadResult == RESULT_BAD_EXTENSION) {
        return Failure{"extension", "the extension is none of pak, pk2, qfp or bin..."};
    }
    if (view.loadResult == RESULT_FILE_OPEN_FAILED) {
        return Failure{"open", "the file cannot be opened"};
    }
    if (view.report.check != ParseCheck::Passed) {
        return Failure{ParseCheckName(view.report.check), FailedCheckText(view)};
    }
    if (view.loadResult == RESULT_NO_MEMORY) {
        return Failure{"read", "the file cannot be read whole"};
    }
    return std::nullopt;
}

std::string Label(const std::string& name) {
    return name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ');
}

// The stored and computed CRC are known once the parser got as far as comparing them.
bool CrcCompared(const InfoView& view) {
    return view.parsed || view.report.check == ParseCheck::Crc;
}

InfoView Inspect(const std::string& path) {
    InfoView view;
    view.path = path;
    const std::u16string name = Utf8ToUtf16(path);
    view.layout = LayoutFromFileName(name.c_str());
    view.size = FileSizeOf(path);
    PreparedUpdate prepared;
    view.loadResult = PrepareUpdate(name.c_str(), prepared, &view.report);
    // 14 and 8 come from the block list, after every check passed.
    view.parsed = view.loadResult == RESULT_SUCCESS || view.loadResult == RESULT_NO_BLOCKS ||
                  view.loadResult == RESULT_BAD_REQUEST;
    if (view.parsed) {
        FillBody(prepared.info, view);
    }
    const BlockList& list = prepared.list;
    for (std::uint32_t i = 0; i < list.normalCount + list.exflCount; ++i) {
        view.blocks.push_back(list.blocks[i]);
        view.blockTags.push_back(i < list.normalCount ? BlockTypeName(list.blocks[i].type)
                                                      : "exfl");
    }
    if (view.loadResult != RESULT_SUCCESS) {
        view.result = view.loadResult;
        view.verdict = "refuses the file";
    } else if (SessionWouldSend(list)) {
        view.sent = true;
        view.verdict = "sends " + std::to_string(view.blocks.size()) + " block(s)";
    } else {
        view.result = RESULT_BAD_REQUEST;
        view.verdict = list.exflCount != 0 ? "refuses it in the session: exfl blocks are never sent"
                       : prepared.info.container == ContainerKind::Pak
                           ? "refuses it in the session: pak and pk2 packages are never sent"
                           : "refuses it in the session: the update method is not 1";
    }
    view.exitCode = MapExitCode(view.result.value_or(RESULT_SUCCESS));
    return view;
}

void PrintText(const InfoView& view, std::ostream& out) {
    out << Label("file") << view.path << "\n";
    out << Label("layout") << FirmwareLayoutName(view.layout) << "\n";
    if (view.size.has_value()) {
        out << Label("size") << *view.size << " bytes\n";
    }
    const std::optional<Failure> failure = LoadFailure(view);
    if (failure.has_value()) {
        out << Label("checks") << "FAILED: " << failure->text << " [" << failure->word << "]\n";
    } else {
        out << Label("checks") << "passed\n";
    }
    if (CrcCompared(view)) {
        out << Label("crc") << "stored " << Hex32(view.report.storedCrc) << ", computed "
            << Hex32(view.report.computedCrc)
            << (view.report.storedCrc == view.report.computedCrc ? " (match)\n" : " (MISMATCH)\n");
    }
    if (view.parsed) {
        out << Label("model") << Quote(view.model) << "\n";
        for (const TextView& text : view.texts) {
            out << Label(text.name) << Quote(text.value) << "\n";
        }
        for (const auto& [name, value] : view.numbers) {
            out << Label(name) << value << "\n";
        }
        out << Label("entries") << view.entries.size();
        if (view.report.skippedEntries != 0) {
            out << " (and " << view.report.skippedEntries
                << " skipped: name not boot, kern, flah or appl)";
        }
        out << "\n";
        for (std::size_t i = 0; i < view.entries.size(); ++i) {
            const PackageEntry& entry = view.entries[i].entry;
            out << "  " << i << "  " << view.entries[i].tag << "  offset " << entry.offset
                << "  length " << entry.length << "  extra " << entry.extra << "\n";
        }
    }
    if (!view.blocks.empty()) {
        out << Label("blocks");
        for (std::size_t i = 0; i < view.blocks.size(); ++i) {
            out << (i == 0 ? "" : ", ") << view.blockTags[i] << " (" << view.blocks[i].length
                << " bytes)";
        }
        out << "\n";
    }
    out << Label("scanflash") << view.verdict;
    if (view.result.has_value()) {
        out << " (result " << *view.result << ", exit code " << view.exitCode << ")\n";
    } else {
        out << "; exit code " << view.exitCode << " when the device takes them\n";
    }
}

void PrintJson(const InfoView& view, std::ostream& out) {
    out << "{\n  \"file\": " << QuotePath(view.path) << ",\n";
    out << "  \"layout\": \"" << FirmwareLayoutName(view.layout) << "\",\n";
    out << "  \"size\": " << (view.size.has_value() ? std::to_string(*view.size) : "null") << ",\n";
    const bool passed = view.parsed;
    out << "  \"checksPassed\": " << (passed ? "true" : "false") << ",\n";
    const std::optional<Failure> failure = LoadFailure(view);
    if (failure.has_value()) {
        out << "  \"failedCheck\": {\"check\": \"" << failure->word
            << "\", \"index\": " << view.report.index << ", \"text\": " << Quote(failure->text)
            << "},\n";
    } else {
        out << "  \"failedCheck\": null,\n";
    }
    if (CrcCompared(view)) {
        out << "  \"crc\": {\"stored\": " << view.report.storedCrc
            << ", \"computed\": " << view.report.computedCrc << ", \"match\": "
            << (view.report.storedCrc == view.report.computedCrc ? "true" : "false") << "},\n";
    } else {
        out << "  \"crc\": null,\n";
    }
    if (passed) {
        out << "  \"model\": " << Quote(view.model) << ",\n";
        for (const TextView& text : view.texts) {
            out << "  \"" << text.name << "\": " << Quote(text.value) << ",\n";
        }
        for (const auto& [name, value] : view.numbers) {
            out << "  \"" << name << "\": " << value << ",\n";
        }
        out << "  \"skippedEntries\": " << view.report.skippedEntries << ",\n";
        out << "  \"entries\": [";
        for (std::size_t i = 0; i < view.entries.size(); ++i) {
            const PackageEntry& entry = view.entries[i].entry;
            out << (i == 0 ? "\n" : ",\n") << "    {\"tag\": \"" << view.entries[i].tag
                << "\", \"type\": " << entry.type << ", \"offset\": " << entry.offset
                << ", \"length\": " << entry.length << ", \"extra\": " << entry.extra << "}";
        }
        out << (view.entries.empty() ? "],\n" : "\n  ],\n");
    }
    out << "  \"blocks\": [";
    for (std::size_t i = 0; i < view.blocks.size(); ++i) {
        out << (i == 0 ? "" : ", ") << "{\"tag\": \"" << view.blockTags[i]
            << "\", \"length\": " << view.blocks[i].length << "}";
    }
    out << "],\n";
    out << "  \"sent\": " << (view.sent ? "true" : "false") << ",\n";
    out << "  \"verdict\": " << Quote(view.verdict) << ",\n";
    out << "  \"resultCode\": " << (view.result.has_value() ? std::to_string(*view.result) : "null")
        << ",\n";
    out << "  \"exitCode\": " << view.exitCode << "\n}\n";
}

int RunInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string path;
    bool json = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i].rfind("--", 0) == 0) {
            return UsageError(err, "unknown option " + args[i]);
        } else if (path.empty()) {
            path = args[i];
        } else {
            return UsageError(err, "info takes one file");
        }
    }
    if (path.empty()) {
        return UsageError(err, "info needs a file");
    }
    const InfoView view = Inspect(path);
    if (json) {
        PrintJson(view, out);
    } else {
        PrintText(view, out);
    }
    if (view.loadResult == RESULT_FILE_OPEN_FAILED) {
        err << "scanfw: cannot open " << path << "\n";
        return SCANFW_FAILURE;
    }
    return view.parsed ? SCANFW_OK : SCANFW_REFUSED;
}

// TAG=PATH or TAG=PATH:EXTRA; a colon whose tail is not a number belongs to the path.
bool ParseBlockArgument(const std::string& text, std::string& tag, std::string& path,
                        std::uint32_t& extra) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        return false;
    }
    tag = text.substr(0, equals);
    path = text.substr(equals + 1);
    extra = 0;
    const std::size_t colon = path.rfind(':');
    if (colon != std::string::npos && ParseNumber(path.substr(colon + 1), extra)) {
        path.resize(colon);
    }
    return !path.empty();
}

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Unknown;
    std::string outPath;
    Fault fault;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        const std::size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
        } else if (option.rfind("--", 0) == 0) {
            if (i + 1 >= args.size()) {
                return UsageError(err, option + " needs a value");
            }
            value = args[++i];
        } else {
            return UsageError(err, "unexpected argument " + option);
        }
        if (option == "--format") {
            spec.layout = FirmwareLayout::Unknown;
            for (const FirmwareLayout layout : {FirmwareLayout::Bin, FirmwareLayout::Pak,
                                                FirmwareLayout::Pk2, FirmwareLayout::Qfp}) {
                if (value == FirmwareLayoutName(layout)) {
                    spec.layout = layout;
                }
            }
            if (spec.layout == FirmwareLayout::Unknown) {
                return UsageError(err, "unknown format " + value);
            }
        } else if (option == "--out") {
            outPath = value;
        } else if (option == "--block") {
            SourceBlock block;
            std::string path;
            if (!ParseBlockArgument(value, block.tag, path, block.extra)) {
                return UsageError(err, "--block takes TAG=PATH[:EXTRA], not " + value);
            }
            std::string error;
            if (!LoadBytes(path, block.data, &error)) {
                err << "scanfw: " << error << "\n";
                return SCANFW_FAILURE;
            }
            spec.blocks.push_back(std::move(block));
        } else if (option == "--model") {
            spec.model = value;
        } else if (option == "--text2") {
            spec.text2 = value;
        } else if (option == "--text3") {
            spec.text3 = value;
        } else if (option == "--text4") {
            spec.text4 = value;
        } else if (option == "--text5") {
            spec.text5 = value;
        } else if (option == "--update-method") {
            if (!ParseNumber(value, spec.updateMethod)) {
                return UsageError(err, "--update-method takes a number, not " + value);
            }
        } else if (option == "--padding") {
            std::uint32_t padding = 0;
            if (!ParseNumber(value, padding) || padding > FIRMWARE_MAX_SIZE) {
                return UsageError(err, "--padding takes a byte count, not " + value);
            }
            spec.padding.assign(padding, 0xFF);
        } else if (option == "--break") {
            const std::size_t colon = value.find(':');
            if (!FaultKindFromName(value.substr(0, colon), fault.kind) ||
                (colon != std::string::npos &&
                 !ParseNumber(value.substr(colon + 1), fault.index))) {
                return UsageError(err, "--break takes KIND[:INDEX], not " + value);
            }
        } else {
            return UsageError(err, "unknown option " + option);
        }
    }
    if (spec.layout == FirmwareLayout::Unknown) {
        return UsageError(err, "pack needs --format");
    }
    if (outPath.empty()) {
        return UsageError(err, "pack needs --out");
    }
    Bytes bytes;
    std::string error;
    if (!WriteFirmware(spec, bytes, &error) || !ApplyFault(spec.layout, bytes, fault, &error) ||
        !SaveBytes(outPath, bytes, &error)) {
        err << "scanfw: " << error << "\n";
        return SCANFW_FAILURE;
    }
    out << "wrote " << outPath << ": " << FirmwareLayoutName(spec.layout) << ", " << bytes.size()
        << " bytes, " << spec.blocks.size() << " block(s)"
        << (fault.kind != FaultKind::None ? ", one field broken on purpose" : "") << "\n";
    return SCANFW_OK;
}

}  // namespace

int RunScanfw(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              DeviceSource* devices) {
    if (args.empty()) {
        return UsageError(err, "no command");
    }
    if (args[0] == "info") {
        return RunInfo(args, out, err);
    }
    if (args[0] == "devices") {
        if (args.size() > 2 || (args.size() == 2 && args[1] != "--json")) {
            return UsageError(err, "devices takes only --json");
        }
        if (devices == nullptr) {
            err << "scanfw: no device discovery on this platform\n";
            return SCANFW_FAILURE;
        }
        const int listed = ListDevices(*devices, args.size() == 2, out);
        // A listing that did not reach its reader (a full disk) is no listing.
        if (!out.flush()) {
            err << "scanfw: cannot write the device listing\n";
            return SCANFW_FAILURE;
        }
        return listed;
    }
    if (args[0] == "pack") {
        return RunPack(args, out, err);
    }
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        out << USAGE;
        return SCANFW_OK;
    }
    return UsageError(err, "unknown command " + args[0]);
}
