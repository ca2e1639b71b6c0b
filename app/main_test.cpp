// The whole program against the simulated bridge: discovery, the decision to
// program, and the programming sequence with each of its steps refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/program_run.h"

namespace {

const std::string product = "CP2102 USB to UART Bridge Controller";
const std::string path = "/dev/bus/usb/001/002";

std::string bridges(std::initializer_list<std::string> objects) {
    std::string json = R"({"bridges": [)";
    for (const std::string& o : objects) json += (json.back() == '[' ? "" : ", ") + o;
    return json + "]}";
}

std::string withSerial(const std::string& serial) {
    return R"({"serial": ")" + serial + R"("})";
}

std::string listedLine(int index, const std::string& serial) {
    return std::to_string(index) + ": " + serial + " | " + product + " | " + path + "\n";
}

std::vector<std::string> listedCalls(int index, const std::string& serial) {
    const std::string i = std::to_string(index);
    return {"GetProductString(" + i + ", 0) = 0, \"" + serial + "\"",
            "GetProductString(" + i + ", 1) = 0, \"" + product + "\"",
            "GetProductString(" + i + ", 2) = 0, \"" + path + "\""};
}

std::vector<std::string> countCall(int count) {
    return {"GetNumDevices() = 0, count " + std::to_string(count)};
}

const std::vector<std::string> listedDefault = join({countCall(1), listedCalls(0, "0001")});
const std::string listingDefault = "Found 1 devices\n" + listedLine(0, "0001");
const CaseFile serialFile = {"serial.txt", "12345678\n"};

// The writes of a full run in their order, with the message each one prints.
struct StepCall {
    std::string call;
    std::string success;  // empty: silent
    std::string failure;  // with %s for the status text
};
const std::vector<StepCall> fullRun = {
    {"SetVid(0x10C4)", "VID is set\n", "Kann VID nicht setzen (%s)\n"},
    {"SetPid(0x813F)", "PID is set to NOLT\n", "Kann PID nicht setzen (%s)\n"},
    {"SetProductString(\"nolt Quintavelor\", 16, 1)", "", "Kann Productstring nicht setzen (%s)\n"},
    {"SetSerialNumber(\"12 345 678\", 10, 1)", "SERIAL # is set\n", "Kann Seriennummer nicht setzen (%s)\n"},
    {"SetSelfPower(1)", "", "Kann Self-Power-Flag nicht setzen (%s)\n"},
    {"SetMaxPower(0)", "", "Kann Max-Power (0 mA) nicht setzen (%s)\n"},
    {"SetDeviceVersion(0x0100)", "", "Kann Versionsnummer nicht setzen (%s)\n"},
    {"SetBaudRateConfig(32 x FE5F FF63 1 57600)", "", "Kann Baudraten nicht setzen (%s)\n"},
    {"SetLockValue()", "device is locked\n", "Kann Device-Lock nicht setzen (%s)\n"},
};

std::string replaceStatus(std::string format, const std::string& text) {
    return format.replace(format.find("%s"), 2, text);
}

// The -v -p -l run with a serial file, the step at `refused` failing with
// `status` (none when refused is past the end).
ProgramCase refusedAt(size_t refused, int32_t status, const std::string& text) {
    ProgramCase c;
    c.args = {"-v", "-p", "-l", "serial.txt"};
    c.files = {serialFile};
    c.out = listingDefault + "Serial# '12 345 678'\n";
    c.calls = join({listedDefault, {"Open(0) = 0"}});
    c.code = 0;
    for (size_t i = 0; i < fullRun.size() && i <= refused; ++i) {
        const std::string operation = fullRun[i].call.substr(0, fullRun[i].call.find('('));
        if (i == refused) {
            c.name = operation + "_refused_" + std::to_string(status);
            c.state = bridges({R"({"faults": {")" + operation + R"(": )" + std::to_string(status) + "}}"});
            c.err = replaceStatus(fullRun[i].failure, text);
            c.calls.push_back(fullRun[i].call + " = " + std::to_string(status));
            c.code = status;
        } else {
            c.out += fullRun[i].success;
            c.calls.push_back(fullRun[i].call + " = 0");
        }
    }
    c.calls.push_back("Close() = 0");
    return c;
}

std::vector<ProgramCase> eachStepRefused() {
    std::vector<ProgramCase> cases;
    for (size_t i = 0; i < fullRun.size(); ++i) cases.push_back(refusedAt(i, 3, "Device IO failed"));
    return cases;
}

std::vector<std::string> writesWithoutSerial(const std::string& last = "Close() = 0") {
    return {"Open(0) = 0",
            "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
            "SetSelfPower(1) = 0",
            "SetMaxPower(0) = 0",
            "SetDeviceVersion(0x0100) = 0",
            "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
            last};
}

const ProgramCase discoveryCases[] = {
    {"no_bridge", bridges({}), {},
     {},
     "Found 0 devices\n", "Keine CP210x-Devices gefunden!\n", -1,
     countCall(0)},
    {"built_in_bridge_programmed_with_its_own_serial", "", {},
     {},
     listingDefault + "Serial# '00 000 001'\n", "", 0,
     {}},
    {"grouped_serial_is_kept_and_not_written", bridges({withSerial("01 234 567")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, "01 234 567") + "Serial# '01 234 567'\n", "", 0,
     join({countCall(1), listedCalls(0, "01 234 567"), writesWithoutSerial()})},
    {"digit_free_serial_is_not_programmed", bridges({withSerial("none")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, "none"), "", -1,
     join({countCall(1), listedCalls(0, "none")})},
    {"empty_serial_is_not_programmed", bridges({withSerial("")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, ""), "", -1,
     join({countCall(1), listedCalls(0, "")})},
    {"all_zero_serial_is_not_programmed", bridges({withSerial("00 000 000")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, "00 000 000"), "", -1,
     join({countCall(1), listedCalls(0, "00 000 000")})},
    {"three_bridges_listed_none_written",
     bridges({withSerial("01 000 001"), withSerial("01 000 002"), withSerial("01 000 003")}), {},
     {},
     "Found 3 devices\n" + listedLine(0, "01 000 001") + listedLine(1, "01 000 002") +
         listedLine(2, "01 000 003"),
     "Mehr als ein CP210x-Device gefunden!\n", -1,
     join({countCall(3), listedCalls(0, "01 000 001"), listedCalls(1, "01 000 002"),
           listedCalls(2, "01 000 003")})},
    {"two_bridges_with_serial_file_none_written", bridges({withSerial("a"), withSerial("b")}),
     {"-v", "serial.txt"},
     {serialFile},
     "Found 2 devices\n" + listedLine(0, "a") + listedLine(1, "b"),
     "Mehr als ein CP210x-Device gefunden!\n", -1,
     join({countCall(2), listedCalls(0, "a"), listedCalls(1, "b")})},
    {"full_length_serial_is_listed_whole",
     bridges({withSerial("123456789012345678901234567890123456789012345678901234567890ABC")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, "123456789012345678901234567890123456789012345678901234567890ABC") +
         "Serial# '2147 483 647'\n",
     "", 0,
     join({countCall(1), listedCalls(0, "123456789012345678901234567890123456789012345678901234567890ABC"), writesWithoutSerial()})},
    {"overlong_serial_is_cut_by_the_module",
     bridges({withSerial("000000000000000000000000000000000000000000000000000000000000042XYZ")}), {},
     {},
     "Found 1 devices\n" + listedLine(0, "000000000000000000000000000000000000000000000000000000000000042") +
         "Serial# '00 000 042'\n",
     "", 0,
     join({countCall(1), listedCalls(0, "000000000000000000000000000000000000000000000000000000000000042"), writesWithoutSerial()})},
    {"count_not_reported_reads_as_zero", R"({"bridges": [{}], "faults": {"GetNumDevices": 5}})", {},
     {},
     "Found 0 devices\n", "Keine CP210x-Devices gefunden!\n", -1,
     {"GetNumDevices() = 5"}},
    {"unreadable_strings_list_empty", bridges({R"({"faults": {"GetProductString": 3}})"}), {},
     {},
     "Found 1 devices\n0:  |  | \n", "", -1,
     join({countCall(1), {"GetProductString(0, 0) = 3", "GetProductString(0, 1) = 3",
                          "GetProductString(0, 2) = 3"}})},
};


std::vector<ProgramCase> programmingCases() {
    ProgramCase fullRunWithLock = refusedAt(fullRun.size(), 0, "");
    fullRunWithLock.name = "v_p_l_and_serial_file_write_everything_lock_last";
    fullRunWithLock.state = bridges({"{}"});
    return {
        fullRunWithLock,
        {"typical_run_v_p_serial_file", bridges({"{}"}), {"-v", "-p", "serial.txt"}, {serialFile},
         listingDefault + "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\n", "", 0,
         join({listedDefault,
               {"Open(0) = 0", "SetVid(0x10C4) = 0", "SetPid(0x813F) = 0",
                "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"12 345 678\", 10, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
                "Close() = 0"}})},
        {"serial_file_without_switches", bridges({"{}"}), {"serial.txt"}, {serialFile},
         listingDefault + "Serial# '12 345 678'\nSERIAL # is set\n", "", 0,
         join({listedDefault,
               {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"12 345 678\", 10, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
                "Close() = 0"}})},
        {"serial_file_names_the_number_of_a_digit_free_bridge", bridges({withSerial("none")}), {"s"},
         {{"s", "42"}},
         "Found 1 devices\n" + listedLine(0, "none") + "Serial# '00 000 042'\nSERIAL # is set\n", "", 0,
         join({countCall(1), listedCalls(0, "none"),
               {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"00 000 042\", 10, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
                "Close() = 0"}})},
        {"largest_serial_number_has_four_digit_millions", bridges({"{}"}), {"s"}, {{"s", "99999999999"}},
         listingDefault + "Serial# '2147 483 647'\nSERIAL # is set\n", "", 0,
         join({listedDefault,
               {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"2147 483 647\", 12, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
                "Close() = 0"}})},
        {"r_resets_the_product_id", bridges({"{}"}), {"-r", "serial.txt"}, {serialFile},
         listingDefault + "Serial# '12 345 678'\nPID is reset to SI-Labs\nSERIAL # is set\n", "", 0,
         join({listedDefault,
               {"Open(0) = 0", "SetPid(0xEA60) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"12 345 678\", 10, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0",
                "Close() = 0"}})},
        {"product_id_reset_refused", bridges({R"({"faults": {"SetPid": 2}})"}), {"-r", "serial.txt"},
         {serialFile},
         listingDefault + "Serial# '12 345 678'\n", "Kann PID nicht setzen (invalid PARAMETER)\n", 2,
         join({listedDefault, {"Open(0) = 0", "SetPid(0xEA60) = 2", "Close() = 0"}})},
        {"unknown_status_9", bridges({R"({"faults": {"SetSelfPower": 9}})"}), {},
         {},
         listingDefault + "Serial# '00 000 001'\n", "Kann Self-Power-Flag nicht setzen (UNKNOWN CP210x-Error)\n", 9,
         join({listedDefault, {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                               "SetSelfPower(1) = 9", "Close() = 0"}})},
        {"device_gone_255", bridges({R"({"faults": {"SetProductString": 255}})"}), {},
         {},
         listingDefault + "Serial# '00 000 001'\n", "Kann Productstring nicht setzen (Device not found)\n", 255,
         join({listedDefault, {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 255",
                               "Close() = 0"}})},
        {"open_refused", bridges({R"({"faults": {"Open": 255}})"}), {"-v", "serial.txt"}, {serialFile},
         listingDefault, "Fehler beim \xD6" "ffnen des Devices!\n", -1,
         join({listedDefault, {"Open(0) = 255"}})},
        {"cp2104_has_no_baud_table", bridges({R"({"part": "CP2104"})"}), {"-l", "serial.txt"}, {serialFile},
         listingDefault + "Serial# '12 345 678'\nSERIAL # is set\n", "Kann Baudraten nicht setzen (Function not supported)\n", 4,
         join({listedDefault,
               {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                "SetSerialNumber(\"12 345 678\", 10, 1) = 0", "SetSelfPower(1) = 0", "SetMaxPower(0) = 0",
                "SetDeviceVersion(0x0100) = 0", "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 4",
                "Close() = 0"}})},
        {"cp2102n_takes_no_field_write", bridges({R"({"part": "CP2102N"})"}), {"-v", "serial.txt"}, {serialFile},
         listingDefault + "Serial# '12 345 678'\n", "Kann VID nicht setzen (Function not supported)\n", 4,
         join({listedDefault, {"Open(0) = 0", "SetVid(0x10C4) = 4", "Close() = 0"}})},
        {"locked_bridge_refuses_the_first_write", bridges({R"({"locked": true})"}), {},
         {},
         listingDefault + "Serial# '00 000 001'\n", "Kann Productstring nicht setzen (Device IO failed)\n", 3,
         join({listedDefault, {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 3",
                               "Close() = 0"}})},
        {"status_256_is_no_success", bridges({R"({"faults": {"SetMaxPower": 256}})"}), {},
         {},
         listingDefault + "Serial# '00 000 001'\n", "Kann Max-Power (0 mA) nicht setzen (UNKNOWN CP210x-Error)\n", 256,
         join({listedDefault, {"Open(0) = 0", "SetProductString(\"nolt Quintavelor\", 16, 1) = 0",
                               "SetSelfPower(1) = 0", "SetMaxPower(0) = 256", "Close() = 0"}})},
        {"failed_close_changes_nothing", bridges({R"({"faults": {"Close": 3}})"}), {},
         {},
         listingDefault + "Serial# '00 000 001'\n", "", 0,
         join({listedDefault, writesWithoutSerial("Close() = 3")})},
    };
}

}  // namespace

// A run leaves every write in the bridge, and the next run lists what it left.
TEST(ProgramState, WritesStayInTheBridgeForTheNextRun) {
    char pattern[] = "/tmp/stelloprog-state-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    ProgramCase first = {"first", bridges({"{}"}), {"-v", "-p", "-l", "serial.txt"}, {serialFile}, "", "", 0, {}};
    const ProgramResult r1 = runProgram(first, folder);
    ASSERT_EQ(r1.code, 0) << r1.err;
    for (const char* field :
         {R"("serial": "12 345 678")", R"("product": "nolt Quintavelor")", R"("vid": "0x10C4")",
          R"("pid": "0x813F")", R"("selfPowered": true)", R"("maxPower": 0)", R"("deviceVersion": "0x0100")",
          R"("baudTable": "32 x FE5F FF63 1 57600")", R"("locked": true)"}) {
        EXPECT_NE(r1.state.find(field), std::string::npos) << field << " in\n" << r1.state;
    }

    ProgramCase second = {"second", "", {}, {}, "", "", 0, {}};
    second.state = r1.state;
    const ProgramResult r2 = runProgram(second, folder);
    EXPECT_EQ(r2.out, platformText("Found 1 devices\n0: 12 345 678 | nolt Quintavelor | " + path +
                                   "\nSerial# '12 345 678'\n"));
    EXPECT_EQ(r2.err, platformText("Kann Productstring nicht setzen (Device IO failed)\n"));
    EXPECT_EQ(r2.code, platformExitCode(3));
    std::filesystem::remove_all(folder);
}

// Without its bridge module the program does not start and writes nothing of its own.
TEST(ProgramStart, NeedsTheBridgeModule) {
    char pattern[] = "/tmp/stelloprog-nomodule-XXXXXX";
    const std::string empty = mkdtemp(pattern);
    const char* saved = getenv("STELLOPROG_MODULE_DIR");
    const std::string before = saved != nullptr ? saved : "";
    setenv("STELLOPROG_MODULE_DIR", empty.c_str(), 1);
    const ProgramResult r = runProgram({"no_module", "", {}, {}, "", "", 0, {}});
    setenv("STELLOPROG_MODULE_DIR", before.c_str(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(moduleMissing().notice), std::string::npos) << r.err;
    EXPECT_EQ(r.code, moduleMissing().code);
    std::filesystem::remove_all(empty);
}

TEST_P(ProgramRun, MatchesByteForByte) {
    expectProgram(GetParam());
}

// A failed load by file name is reported and changes nothing else.
TEST(ProgramStart, ReportsAFailedLoadAndGoesOn) {
    if (underWine()) GTEST_SKIP() << "only the Linux loader lets a test refuse the load by name";
    setenv("LD_PRELOAD", refuseDlopenLibrary(), 1);
    const ProgramResult r = runProgram({"load_refused", "", {}, {}, "", "", 0, {}});
    unsetenv("LD_PRELOAD");
    EXPECT_EQ(r.out, listingDefault + "Serial# '00 000 001'\n");
    EXPECT_EQ(r.err, "Error loading CP210xManufacturing.dll\n");
    EXPECT_EQ(r.code, 0);
}

INSTANTIATE_TEST_SUITE_P(Discovery, ProgramRun, testing::ValuesIn(discoveryCases), caseName);
INSTANTIATE_TEST_SUITE_P(EachStepRefused, ProgramRun, testing::ValuesIn(eachStepRefused()), caseName);
INSTANTIATE_TEST_SUITE_P(Programming, ProgramRun, testing::ValuesIn(programmingCases()), caseName);
