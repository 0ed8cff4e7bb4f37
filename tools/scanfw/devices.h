// scanfw devices: the product's own selection (SelectDevice) over the platform's device
// source, with an observer that keeps every candidate and its verdict. It opens nothing, so
// no feature report is switched, no interface claimed and no byte sent.
#pragma once

#include <ostream>

class DeviceSource;

// Prints the candidates by source and the outcome, as text or as one JSON document. Returns
// SCANFW_OK when exactly one device would be opened, SCANFW_REFUSED when the product would
// stop with 12 or 14.
int ListDevices(DeviceSource& source, bool json, std::ostream& out);
