// Which I/O ports are parallel-port registers of this machine: the only
// ports that raw port I/O may reach. A base set by hand (in TROV.INI, which
// any user can write) must never send the probe's control bytes to another
// device: 0xCF9 resets the machine, 0x64 commands the keyboard controller,
// 0x1F7 the disk, 0x70 selects a CMOS register.
//
// A port the machine declares as a parallel port is one of
//   - the three standard ISA ports, registers 0x278-0x27A, 0x378-0x37A and
//     0x3BC-0x3BE (base, status and control);
//   - an active ACPI/PnP device with the id PNP0400 or PNP0401 (a parallel
//     port, an ECP parallel port): all its I/O ranges, from
//     /sys/bus/pnp/devices/*/{id,resources};
//   - a PCI function of class 0x0701xx (parallel controller), which is how an
//     add-in card shows even without a driver: all its I/O BARs, from
//     /sys/bus/pci/devices/*/{class,resource}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dlportio {

// I/O ports first to last, both included.
struct IoRange {
    uint16_t first;
    uint16_t last;

    bool operator==(const IoRange& other) const {
        return first == other.first && last == other.last;
    }
};

// What the rule reads of sysfs.
class Sysfs {
public:
    virtual ~Sysfs() = default;
    // The names in a folder, without "." and ".."; none when it cannot be read.
    virtual std::vector<std::string> entries(const std::string& folder) = 0;
    // A file's text; nothing when it cannot be read.
    virtual std::optional<std::string> text(const std::string& path) = 0;
};

// Where the list comes from, for a reason shown to the user.
extern const char kParallelPortSources[];

// Every parallel-port register of the machine: sorted, overlapping and
// adjoining ranges merged.
std::vector<IoRange> declared_parallel_ports(Sysfs& sysfs);

// Whether `address` lies in one of `ranges`.
bool covers(const std::vector<IoRange>& ranges, uint32_t address);

// "0x278-0x27F, 0x378-0x37F, 0x3BC-0x3BE" (the first eight ranges, then
// ", ...").
std::string describe(const std::vector<IoRange>& ranges);

}  // namespace dlportio
