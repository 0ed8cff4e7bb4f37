#include "firmware/parsers.h"

const char* ParseCheckName(ParseCheck check) {
    switch (check) {
        case ParseCheck::Passed:
            return "passed";
        case ParseCheck::SizeUnknown:
            return "size-unknown";
        case ParseCheck::SizeOutOfRange:
            return "size-range";
        case ParseCheck::ShortHeader:
            return "short-header";
        case ParseCheck::NothingAfterHeader:
            return "nothing-after-header";
        case ParseCheck::Magic:
            return "magic";
        case ParseCheck::FileSizeField:
            return "file-size-field";
        case ParseCheck::SectionLength:
            return "section-length";
        case ParseCheck::Bounds:
            return "bounds";
        case ParseCheck::EntryCount:
            return "entry-count";
        case ParseCheck::EntryLength:
            return "entry-length";
        case ParseCheck::EntryTag:
            return "entry-tag";
        case ParseCheck::BlocksInHeader:
            return "blocks-in-header";
        case ParseCheck::ShortRead:
            return "short-read";
        case ParseCheck::Crc:
            return "crc";
        case ParseCheck::FileChanged:
            return "file-changed";
    }
    return "unknown";
}

const char* ParseCheckText(ParseCheck check) {
    switch (check) {
        case ParseCheck::Passed:
            return "every check passed";
        case ParseCheck::SizeUnknown:
            return "the size of the file cannot be found";
        case ParseCheck::SizeOutOfRange:
            return "the file is empty or larger than 104857600 bytes";
        case ParseCheck::ShortHeader:
            return "the file is shorter than its header or trailer";
        case ParseCheck::NothingAfterHeader:
            return "the file holds nothing after its header";
        case ParseCheck::Magic:
            return "the magic is wrong";
        case ParseCheck::FileSizeField:
            return "the stored file size differs from the real size";
        case ParseCheck::SectionLength:
            return "a present section has length 0";
        case ParseCheck::Bounds:
            return "a block reaches past the end of the data";
        case ParseCheck::EntryCount:
            return "the entry counts add up to 0 or to more than 16";
        case ParseCheck::EntryLength:
            return "an entry has length 0";
        case ParseCheck::EntryTag:
            return "an entry's tag does not fit its place";
        case ParseCheck::BlocksInHeader:
            return "every block lies inside the header";
        case ParseCheck::ShortRead:
            return "bytes the CRC covers cannot be read";
        case ParseCheck::Crc:
            return "the CRC-32 does not match";
        case ParseCheck::FileChanged:
            return "the file changed while it was loaded";
    }
    return "unknown check";
}
