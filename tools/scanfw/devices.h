// scanfw devices: the product's own selection (SelectDevice) over the platform's device
// source, with an observer that keeps every candidate and its verdict, and the selector that
// chooses each counted scanner. The listing opens nothing, so no feature report is switched,
// no interface claimed and no byte sent.
//
// With --query each counted scanner is chosen by its selector as scanflash -device: would
// choose it, opened exclusively through the platform's port one at a time, sent the
// connection test and the model query (nothing that enters update mode) and closed again.
#pragma once

#include <ostream>
#include <string>

class DevicePort;
class DeviceSource;

struct DeviceListing {
    bool json = false;
    bool query = false;
    std::string firmwareFile;  // --file: its model is compared with each answer; empty: none
};

// Prints the candidates by source, the selectors of the counted scanners, the outcome and,
// when asked, what each scanner answered, as text or as one JSON document. Returns SCANFW_OK
// when exactly one device would be opened (with a query: when at least one scanner was asked
// and every one answered), SCANFW_REFUSED otherwise, SCANFW_FAILURE when the firmware file is
// unusable (before any scanner is opened). port may be null without a query.
int ListDevices(DeviceSource& source, DevicePort* port, const DeviceListing& listing,
                std::ostream& out, std::ostream& err);
