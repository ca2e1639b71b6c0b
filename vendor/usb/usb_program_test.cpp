// The real stelloprog with the real USB module on the fake libusb: what each
// bridge is sent, transfer by transfer, and what the program says about it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "usb_test_bus.h"

namespace {

struct UsbCase {
    std::string name;
    std::vector<std::string> devices;  // the fake's device objects
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t code;
    std::vector<std::string> log;  // the fake's whole log
};

void PrintTo(const UsbCase& c, std::ostream* os) { *os << c.name; }

const CaseFile serialFile = {"serial.txt", "12345678\n"};

// Runs the program in the bus's folder with the module and the fake in
// front of the loader's search.
ProgramResult runOnBus(const FakeBus& bus, const std::vector<std::string>& args,
                       const std::string& moduleDirs = USB_MODULE_DIR ":" FAKE_LIBUSB_DIR) {
    ProgramCase c = {"usb", "", args, {serialFile}, "", "", 0, {}};
    const char* saved = getenv("STELLOPROG_MODULE_DIR");
    const std::string before = saved != nullptr ? saved : "";
    setenv("STELLOPROG_MODULE_DIR", moduleDirs.c_str(), 1);
    const ProgramResult r = runProgram(c, bus.folder + "/run");
    setenv("STELLOPROG_MODULE_DIR", before.c_str(), 1);
    return r;
}

const std::string p = "1-1";  // where the fake puts a device unless told otherwise
const std::string cp2102Product = "CP2102 USB to UART Bridge Controller";
const std::string listing = "Found 1 devices\n0: 0001 | " + cp2102Product + " | /dev/bus/usb/001/002\n";
const std::vector<std::string> listed = {opened(p), stringRead(p, 3, "0001"), stringRead(p, 2, cp2102Product),
                                         closed(p)};

// On the wire: "nolt Quintavelor" and "12 345 678" as string descriptors,
// the 57600-baud entry 32 times and two zero bytes.
const std::vector<uint8_t> productDescriptor = bytes(
    "22 03 6E 00 6F 00 6C 00 74 00 20 00 51 00 75 00 69 00 6E 00 74 00 61 00 76 00 65 00 6C 00 6F 00 72 00");
const std::vector<uint8_t> serialDescriptor = bytes("16 03 31 00 32 00 20 00 33 00 34 00 35 00 20 00 36 00 37 00 38 00");
std::vector<uint8_t> baudTable() {
    std::vector<uint8_t> table = repeated(bytes("FE 5F FF 63 01 00 00 E1 00 00"), 32);
    table.insert(table.end(), {0, 0});
    return table;
}

// The writes of -v -p -l with a serial file, up to (not including) the one
// at `until`, for the bridge at `port`.
std::vector<std::string> writesUntil(size_t until, const std::string& port = p) {
    const std::vector<std::string> writes = {
        vendorWrite(port, 0x3701, 0x10C4),          vendorWrite(port, 0x3702, 0x813F),
        vendorWrite(port, 0x3703, productDescriptor), vendorWrite(port, 0x3704, serialDescriptor),
        vendorWrite(port, 0x3705, 0x00C0),          vendorWrite(port, 0x3706, 0x0000),
        vendorWrite(port, 0x3707, 0x0100),          vendorWrite(port, 0x3709, baudTable()),
        vendorWrite(port, 0x370A, 0x00F0),
    };
    return std::vector<std::string>(writes.begin(), writes.begin() + static_cast<long>(until));
}

// The open with its part-number read, then writesUntil(until).
std::vector<std::string> fullRunUntil(size_t until, uint8_t part, const std::string& port = p) {
    return join({{opened(port), partRead(port, part)}, writesUntil(until, port)});
}

const std::string fullRunOut = listing + "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\n";
const std::string openRefused = "Fehler beim \xD6" "ffnen des Devices!\n";

const UsbCase cases[] = {
    {"full_run_sends_every_write_in_order", {"{}"}, {"-v", "-p", "-l", "serial.txt"},
     fullRunOut + "device is locked\n", "", 0,
     join({listed, fullRunUntil(9, 0x02), {closed(p), "exit"}})},
    {"reset_pid_keeps_the_serial_of_the_bridge", {R"({"serial": "01 234 567"})"}, {"-r"},
     "Found 1 devices\n0: 01 234 567 | " + cp2102Product + " | /dev/bus/usb/001/002\n"
     "Serial# '01 234 567'\nPID is reset to SI-Labs\n", "", 0,
     {opened(p), stringRead(p, 3, "01 234 567"), stringRead(p, 2, cp2102Product), closed(p),
      opened(p), partRead(p, 0x02), vendorWrite(p, 0x3702, 0xEA60), vendorWrite(p, 0x3703, productDescriptor),
      vendorWrite(p, 0x3705, 0x00C0), vendorWrite(p, 0x3706, 0x0000), vendorWrite(p, 0x3707, 0x0100),
      vendorWrite(p, 0x3709, baudTable()), closed(p), "exit"}},
    {"bridges_listed_by_bus_then_port_path_foreign_device_untouched",
     {R"({"bus": 2, "ports": [1], "address": 3, "serial": "D"})",
      R"({"bus": 42, "ports": [7], "address": 8, "vid": "0x0403", "pid": "0x6001"})",
      R"({"bus": 1, "ports": [4, 1], "address": 9, "serial": "C"})",
      R"({"bus": 1, "ports": [2], "address": 5, "serial": "A"})",
      R"({"bus": 1, "ports": [4], "address": 7, "pid": "0x813F", "serial": "B"})"},
     {"serial.txt"},
     "Found 4 devices\n0: A | " + cp2102Product + " | /dev/bus/usb/001/005\n1: B | " + cp2102Product +
         " | /dev/bus/usb/001/007\n2: C | " + cp2102Product + " | /dev/bus/usb/001/009\n3: D | " + cp2102Product +
         " | /dev/bus/usb/002/003\n",
     "Mehr als ein CP210x-Device gefunden!\n", -1,
     {opened("1-2"), stringRead("1-2", 3, "A"), stringRead("1-2", 2, cp2102Product), closed("1-2"),
      opened("1-4"), stringRead("1-4", 3, "B"), stringRead("1-4", 2, cp2102Product), closed("1-4"),
      opened("1-4.1"), stringRead("1-4.1", 3, "C"), stringRead("1-4.1", 2, cp2102Product), closed("1-4.1"),
      opened("2-1"), stringRead("2-1", 3, "D"), stringRead("2-1", 2, cp2102Product), closed("2-1"), "exit"}},
    {"foreign_device_alone_is_no_bridge",
     {R"({"bus": 42, "ports": [7], "vid": "0x0403", "pid": "0x6001"})"}, {"-v", "serial.txt"},
     "Found 0 devices\n", "Keine CP210x-Devices gefunden!\n", -1,
     {"exit"}},
    {"cp2104_stops_at_the_baud_table_after_every_earlier_write", {R"({"part": "0x04"})"},
     {"-v", "-p", "-l", "serial.txt"},
     fullRunOut, "Kann Baudraten nicht setzen (Function not supported)\n", 4,
     join({listed, fullRunUntil(7, 0x04), {closed(p), "exit"}})},
    {"cp2102n_is_sent_no_write", {R"({"part": "0x20"})"}, {"-v", "-p", "-l", "serial.txt"},
     listing + "Serial# '12 345 678'\n", "Kann VID nicht setzen (Function not supported)\n", 4,
     join({listed, fullRunUntil(0, 0x20), {closed(p), "exit"}})},
    {"part_that_stalls_the_part_number_is_a_cp2101_without_baud_table", {R"({"part": "stall"})"},
     {"-v", "-p", "-l", "serial.txt"},
     fullRunOut, "Kann Baudraten nicht setzen (Function not supported)\n", 4,
     join({listed, {opened(p), "1-1 C0 FF 370B 0000 0001 t1000 = PIPE"},
           writesUntil(7),
           {closed(p), "exit"}})},
    {"locked_bridge_stalls_the_first_write", {R"({"locked": true})"}, {"serial.txt"},
     listing + "Serial# '12 345 678'\n", "Kann Productstring nicht setzen (Device IO failed)\n", 3,
     join({listed, {opened(p), partRead(p, 0x02), vendorWrite(p, 0x3703, productDescriptor, "PIPE"), closed(p),
                    "exit"}})},
    // Two string reads while listing, the part number and four writes, then it is gone.
    {"bridge_gone_mid_run_ends_with_the_step_and_is_closed", {R"({"goneAfter": 7})"}, {"-v", "-p", "serial.txt"},
     fullRunOut, "Kann Self-Power-Flag nicht setzen (Device not found)\n", 255,
     join({listed, fullRunUntil(4, 0x02), {vendorWrite(p, 0x3705, 0x00C0, "NO_DEVICE"), closed(p), "exit"}})},
    // On a bus no real machine has, so no sysfs of this one fills in the strings.
    {"permission_refused_says_so_once", {R"({"bus": 42, "ports": [9], "address": 4, "openError": "ACCESS"})"},
     {"serial.txt"},
     "Found 1 devices\n0:  |  | /dev/bus/usb/042/004\n",
     "No access to /dev/bus/usb/042/004: install the udev rule " CP210X_UDEV_RULE " and replug the bridge\n" +
         openRefused,
     -1,
     {opened("42-9", "ACCESS"), opened("42-9", "ACCESS"), "exit"}},
};

class UsbProgram : public testing::TestWithParam<UsbCase> {};

TEST_P(UsbProgram, SendsExactlyTheseTransfers) {
    const UsbCase& c = GetParam();
    FakeBus bus;
    bus.devices(c.devices);
    const ProgramResult r = runOnBus(bus, c.args);
    EXPECT_EQ(r.out, c.out) << "standard output";
    EXPECT_EQ(r.err, c.err) << "standard error";
    EXPECT_EQ(r.code, platformExitCode(c.code)) << "exit code";
    EXPECT_EQ(bus.log(), c.log) << "transfers";
}

std::string usbCaseName(const testing::TestParamInfo<UsbCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(FakeBridges, UsbProgram, testing::ValuesIn(cases), usbCaseName);

// Whether this machine may have a bridge attached, which the real listing would show.
bool bridgeMayBeAttached() {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists("/sys/bus/usb/drivers/cp210x", error)) return true;
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", error)) {
        std::ifstream vendor(entry.path() / "idVendor");
        std::string id;
        if (vendor >> id && id == "10c4") return true;
    }
    return false;
}

// With the real libusb and no bridge on the machine the listing is empty.
TEST(UsbProgramOnThisMachine, FindsNoBridge) {
    if (bridgeMayBeAttached()) GTEST_SKIP() << "a CP210x may be attached here";
    FakeBus bus;  // only for its folder: the real libusb doesn't read it
    const ProgramResult r = runOnBus(bus, {"serial.txt"}, USB_MODULE_DIR);
    EXPECT_EQ(r.out, "Found 0 devices\n");
    EXPECT_EQ(r.err, "Keine CP210x-Devices gefunden!\n");
    EXPECT_EQ(r.code, platformExitCode(-1));
}

}  // namespace
