#include "parallel_ports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace dlportio {
namespace {

const char kPnpDevices[] = "/sys/bus/pnp/devices";
const char kPciDevices[] = "/sys/bus/pci/devices";

// The registers base to base + 2 of the standard ISA ports.
const IoRange kStandardPorts[] = {{0x278, 0x27A}, {0x378, 0x37A}, {0x3BC, 0x3BE}};

// PCI: base class 0x07 (communication controller), subclass 0x01 (parallel).
const unsigned long kPciParallelClass = 0x0701;
// The resource flag of an I/O BAR (the kernel's IORESOURCE_IO).
const unsigned long long kIoResource = 0x100;

// A range read from sysfs, if it is one inside the I/O port space.
std::optional<IoRange> io_range(unsigned long long first, unsigned long long last) {
    if (first > last || last > 0xFFFFu) return std::nullopt;
    return IoRange{static_cast<uint16_t>(first), static_cast<uint16_t>(last)};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// An active PnP parallel port's I/O ranges. The id file holds one id per
// line; resources reads "state = active", then one line per resource, such
// as "io 0x378-0x37f", "io disabled" or "irq 7".
void add_pnp_device(Sysfs& sysfs, const std::string& device, std::vector<IoRange>& ranges) {
    const auto ids = sysfs.text(device + "/id");
    if (!ids) return;
    const auto id_lines = lines_of(*ids);
    if (std::none_of(id_lines.begin(), id_lines.end(),
                     [](const std::string& id) { return id == "PNP0400" || id == "PNP0401"; }))
        return;
    const auto resources = sysfs.text(device + "/resources");
    if (!resources) return;
    const auto lines = lines_of(*resources);
    if (lines.empty() || lines.front() != "state = active") return;
    for (const auto& line : lines) {
        unsigned long long first = 0, last = 0;
        char end = '\0';
        if (std::sscanf(line.c_str(), "io %llx-%llx%c", &first, &last, &end) == 2)
            if (const auto range = io_range(first, last)) ranges.push_back(*range);
    }
}

// A PCI parallel controller's I/O BARs. class reads "0x070100"; resource has
// one line "start end flags" (hexadecimal) per resource, zeros when unused.
void add_pci_function(Sysfs& sysfs, const std::string& function, std::vector<IoRange>& ranges) {
    const auto class_text = sysfs.text(function + "/class");
    if (!class_text) return;
    char* end = nullptr;
    const unsigned long pci_class = std::strtoul(class_text->c_str(), &end, 16);
    if (end == class_text->c_str() || pci_class >> 8 != kPciParallelClass) return;
    const auto resources = sysfs.text(function + "/resource");
    if (!resources) return;
    for (const auto& line : lines_of(*resources)) {
        unsigned long long first = 0, last = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%llx %llx %llx", &first, &last, &flags) == 3 &&
            (flags & kIoResource) != 0 && last != 0)
            if (const auto range = io_range(first, last)) ranges.push_back(*range);
    }
}

std::vector<IoRange> merged(std::vector<IoRange> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const IoRange& a, const IoRange& b) { return a.first < b.first; });
    std::vector<IoRange> result;
    for (const auto& range : ranges) {
        if (!result.empty() && range.first <= result.back().last + 1u)
            result.back().last = std::max(result.back().last, range.last);
        else
            result.push_back(range);
    }
    return result;
}

}  // namespace

const char kParallelPortSources[] =
    "the standard ports and the parallel ports in /sys/bus/pnp and /sys/bus/pci";

std::vector<IoRange> declared_parallel_ports(Sysfs& sysfs) {
    std::vector<IoRange> ranges(std::begin(kStandardPorts), std::end(kStandardPorts));
    for (const auto& name : sysfs.entries(kPnpDevices))
        add_pnp_device(sysfs, std::string(kPnpDevices) + "/" + name, ranges);
    for (const auto& name : sysfs.entries(kPciDevices))
        add_pci_function(sysfs, std::string(kPciDevices) + "/" + name, ranges);
    return merged(std::move(ranges));
}

bool covers(const std::vector<IoRange>& ranges, uint32_t address) {
    return std::any_of(ranges.begin(), ranges.end(), [address](const IoRange& range) {
        return address >= range.first && address <= range.last;
    });
}

std::string describe(const std::vector<IoRange>& ranges) {
    const std::size_t kShown = 8;
    std::string text;
    for (std::size_t i = 0; i < ranges.size() && i < kShown; ++i) {
        char item[24];
        std::snprintf(item, sizeof item, "%s0x%X-0x%X", i == 0 ? "" : ", ",
                      static_cast<unsigned>(ranges[i].first),
                      static_cast<unsigned>(ranges[i].last));
        text += item;
    }
    if (ranges.size() > kShown) text += ", ...";
    return text;
}

}  // namespace dlportio
