// scanfw: inspects firmware files with the loader's own parsers and block-list rules, packs
// new ones, and lists the devices the product's selection sees. The commands run on an
// argument list so that tests drive them in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class DeviceSource;

constexpr int SCANFW_OK = 0;
constexpr int SCANFW_REFUSED = 1;  // info: the loader refuses the file; devices: 12 or 14
constexpr int SCANFW_FAILURE = 2;  // bad arguments, unreadable or unwritable files

// args excludes the program name; texts and paths are UTF-8. devices is the platform's device
// discovery for "devices" (null: the command is not available).
int RunScanfw(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              DeviceSource* devices = nullptr);
