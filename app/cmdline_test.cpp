// The command line: the program name on the usage screen, the switches seen
// through the writes the simulated bridge receives, and the bad switches.
#include "cmdline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/expected_run.h"
#include "tests/program_run.h"

namespace {

TEST(BaseName, IsThePartAfterTheLastBackslash) {
    const struct {
        const char* path;
        size_t offset;  // where the name starts inside path
    } cases[] = {
        {"C:\\tools\\prog.exe", 9},
        {"prog.exe", 0},
        {"prog", 0},
        {"/usr/local/bin/prog", 0},  // a forward slash does not separate
        {"C:prog.exe", 0},           // nor does a drive colon
        {"C:\\tools\\", 9},          // a trailing backslash leaves an empty name
        {"\\", 1},
        {"", 0},
        {"a/b\\c/d", 4},
        {"\\\\server\\share\\p.exe", 15},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(baseName(c.path), c.path + c.offset) << c.path;
    }
}

TEST(BaseName, NothingForAnAbsentPath) {
    EXPECT_EQ(baseName(nullptr), nullptr);
}

const CaseFile serialFile = {"serial.txt", "12345678\n"};

ProgramCase withSwitches(const std::string& name, std::vector<std::string> args, Switches on) {
    args.push_back("serial.txt");
    return programmed(name, args, {serialFile}, 12345678, on);
}

const Switches vid = {true, false, false, false};
const Switches pid = {false, true, false, false};
const Switches resetPid = {false, false, true, false};
const Switches lock = {false, false, false, true};

std::vector<ProgramCase> switchCases() {
    return {
        withSwitches("no_switch", {}, noSwitch),
        withSwitches("v", {"-v"}, vid),
        withSwitches("v_twice_is_off", {"-v", "-v"}, noSwitch),
        withSwitches("v_three_times_is_on", {"-v", "-v", "-v"}, vid),
        withSwitches("p", {"-p"}, pid),
        withSwitches("r", {"-r"}, resetPid),
        withSwitches("l", {"-l"}, lock),
        withSwitches("l_twice_is_off", {"-l", "-l"}, noSwitch),
        withSwitches("p_then_r_resets", {"-p", "-r"}, resetPid),
        withSwitches("r_then_p_sets", {"-r", "-p"}, pid),
        withSwitches("p_r_p_sets", {"-p", "-r", "-p"}, pid),
        withSwitches("p_twice_is_off", {"-p", "-p"}, noSwitch),
        withSwitches("p_three_times_sets", {"-p", "-p", "-p"}, pid),
        withSwitches("r_p_p_is_off", {"-r", "-p", "-p"}, noSwitch),
        withSwitches("p_r_r_is_off", {"-p", "-r", "-r"}, noSwitch),
        withSwitches("r_twice_is_off", {"-r", "-r"}, noSwitch),
        withSwitches("vx_acts_as_v", {"-vx"}, vid),
        withSwitches("lock_acts_as_l", {"-lock"}, lock),
        withSwitches("rv_acts_as_r", {"-rv"}, resetPid),
        withSwitches("v_p_l", {"-v", "-p", "-l"}, {true, true, false, true}),
        withSwitches("l_v_r", {"-l", "-v", "-r"}, {true, false, true, true}),
        programmed("switch_after_the_file_counts", {"serial.txt", "-v", "-l"}, {serialFile}, 12345678,
                   {true, false, false, true}),
        // A file whose name begins with '-' can't be named: the argument is a switch.
        programmed("dash_named_file_is_the_switch", {"-v"}, {{"-v", "42\n"}}, 0, vid),
    };
}

std::vector<ProgramCase> badSwitchCases() {
    return {
        usageShown("upper_case_V", {"-V"}),
        usageShown("upper_case_P", {"-P"}),
        usageShown("x", {"-x"}),
        usageShown("double_dash_v", {"--v"}),
        usageShown("m_between_l_and_v", {"-m"}),
        usageShown("q_between_l_and_v", {"-q"}),
        usageShown("u_between_l_and_v", {"-u"}),
        usageShown("a_before_l", {"-a"}),
        usageShown("w_after_v", {"-w"}),
        usageShown("digit", {"-1"}),
        usageShown("lone_dash", {"-"}),
        usageShown("byte_80", {"-\x80"}),
        usageShown("byte_E4", {"-\xE4" "v"}),
        usageShown("byte_FF", {"-\xFF"}),
        usageShown("after_a_good_file", {"serial.txt", "-V"}, {serialFile}),
        usageShown("after_good_switches", {"-v", "-p", "-l", "-x"}),
        usageShown("before_a_good_file", {"-x", "serial.txt"}, {serialFile}),
        usageShown("before_a_missing_file_which_is_not_looked_at", {"-x", "missing.txt"}),
        usageShown("dash_named_file_with_other_letter", {"-5.txt"}, {{"-5.txt", "42\n"}}),
    };
}

INSTANTIATE_TEST_SUITE_P(Switches, ProgramRun, testing::ValuesIn(switchCases()), caseName);
INSTANTIATE_TEST_SUITE_P(BadSwitches, ProgramRun, testing::ValuesIn(badSwitchCases()), caseName);

// The typical run: -v, -p and a serial file with one bridge; the bridge keeps
// every write.
TEST(TypicalRun, ProgramsTheBridgeAndItKeepsEveryWrite) {
    char pattern[] = "/tmp/stelloprog-typical-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const ProgramCase c = programmed("typical", {"-v", "-p", "serial.txt"}, {serialFile}, 12345678,
                                     {true, true, false, false});
    EXPECT_EQ(c.out,
              "Found 1 devices\n0: 0001 | CP2102 USB to UART Bridge Controller | /dev/bus/usb/001/002\n"
              "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\n");
    const ProgramResult r = runProgram(c, folder);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.calls, c.calls);
    for (const char* field :
         {R"("serial": "12 345 678")", R"("product": "nolt Quintavelor")", R"("vid": "0x10C4")",
          R"("pid": "0x813F")", R"("selfPowered": true)", R"("maxPower": 0)", R"("deviceVersion": "0x0100")",
          R"("baudTable": "32 x FE5F FF63 1 57600")", R"("locked": false)"}) {
        EXPECT_NE(r.state.find(field), std::string::npos) << field << " in\n" << r.state;
    }
    std::filesystem::remove_all(folder);
}

// The usage screen names the program by what follows the last backslash of
// the name it was started under. Linux file names may hold backslashes, so a
// link named like a Windows path starts the program under that name.
TEST(UsageScreen, NamesTheProgramAfterTheLastBackslash) {
    char pattern[] = "/tmp/stelloprog-names-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const std::string program = programName();
    const struct {
        std::string link;
        std::string shown;
    } cases[] = {
        {"C:\\tools\\prog.exe", "prog.exe"},
        {"tools\\", ""},
        {"prog", folder + "/prog"},
        {"prog.exe", folder + "/prog.exe"},
    };
    for (const auto& c : cases) {
        const std::string link = folder + "/" + c.link;
        ASSERT_EQ(symlink(program.c_str(), link.c_str()), 0) << link << ": " << strerror(errno);
        setenv("STELLOPROG_BIN", link.c_str(), 1);
        const ProgramResult r = runProgram({c.link, "", {"-x"}, {}, "", "", -1, {}});
        setenv("STELLOPROG_BIN", program.c_str(), 1);
        EXPECT_EQ(r.out, "") << c.link;
        EXPECT_EQ(r.err, usageScreen(c.shown)) << c.link;
        EXPECT_EQ(r.code, platformExitCode(-1)) << c.link;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
