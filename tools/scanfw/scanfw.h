// scanfw: inspects firmware files with the loader's own parsers and block-list rules, packs
// new ones, and lists the devices the product's selection sees. The commands run on an
// argument list so that tests drive them in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class DevicePort;
class DeviceSource;

constexpr int SCANFW_OK = 0;
// info: the loader refuses the file; devices: 12 or 14; devices --query: a scanner that did
// not answer, or none to ask
constexpr int SCANFW_REFUSED = 1;
constexpr int SCANFW_FAILURE = 2;  // bad arguments, unreadable or unwritable files

// args excludes the program name; texts and paths are UTF-8. devices is the platform's device
// discovery for "devices" and port the platform's device port for "devices --query" (null:
// not available).
int RunScanfw(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              DeviceSource* devices = nullptr, DevicePort* port = nullptr);
