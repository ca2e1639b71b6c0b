// The serial-number file, through the whole program: files that can't be
// opened, the conversion of the first line, and several files in one run.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/expected_run.h"
#include "tests/program_run.h"

namespace {

// The file "s" holding `content`, named alone on the command line.
ProgramCase holding(const std::string& name, const std::string& content, int32_t serial) {
    const std::vector<std::string> args = {"s"};
    const std::vector<CaseFile> files = {{"s", content}};
    if (serial == 0) return zeroRefused(name, args, files);
    if (serial < 0) return usageShown(name, args, files);
    return programmed(name, args, files, serial, noSwitch);
}

std::string unableToOpen(const std::string& name) {
    return "unable to open file '" + name + "'\n";
}

const CaseFile serialFile = {"serial.txt", "12345678\n"};

std::vector<ProgramCase> conversionCases() {
    return {
        holding("plain", "12345678\n", 12345678),
        holding("cr_lf", "12345678\r\n", 12345678),
        holding("no_line_end", "12345678", 12345678),
        holding("blanks_and_text_after", "  42 and more\n", 42),
        holding("every_kind_of_white_space", "\t\v\f\r 42\n", 42),
        holding("grouped_form_stops_at_the_blank", "12 345 678\n", 12),
        holding("plus_sign", "+42\n", 42),
        holding("minus_sign_is_negative", "-5\n", -5),
        holding("hex_looking", "0x1F\n", 0),
        holding("leading_zeros", "0123\n", 123),
        holding("zero", "0\n", 0),
        holding("minus_zero", "-0\n", 0),
        holding("three_zeros", "000\n", 0),
        holding("largest", "2147483647\n", 2147483647),
        holding("one_past_largest_clamps", "2147483648\n", 2147483647),
        holding("far_past_largest_clamps", "99999999999\n", 2147483647),
        holding("thousand_digits_clamp", std::string(1000, '9'), 2147483647),
        holding("smallest_is_negative", "-2147483648\n", -1),
        holding("far_past_smallest_clamps_and_is_negative", "-99999999999\n", -1),
        holding("119_blanks_leave_all_8_digits", std::string(119, ' ') + "12345678\n", 12345678),
        holding("120_blanks_leave_7_digits", std::string(120, ' ') + "12345678\n", 1234567),
        holding("126_blanks_leave_the_digit", std::string(126, ' ') + "5\n", 5),
        holding("127_blanks_leave_nothing", std::string(127, ' ') + "5\n", 0),
        holding("empty_file", "", 0),
        holding("empty_first_line_number_on_second", "\n12345678\n", 0),
        holding("only_the_first_line_counts", "7\n8\n", 7),
        holding("byte_order_mark", "\xEF\xBB\xBF" "12345678\n", 0),
        holding("no_break_space_is_no_white_space", "\xA0" "42\n", 0),
        holding("letters", "abc\n", 0),
        holding("sign_then_blank", "+ 5\n", 0),
        holding("two_signs", "+-5\n", 0),
        holding("minus_then_blank", "- 5\n", 0),
        holding("lone_sign", "-\n", 0),
        holding("digits_stop_at_a_nul_byte", std::string("4\0" "2\n", 4), 4),
        holding("cr_ends_the_digits_too", "12\r34\n", 12),
    };
}

std::vector<ProgramCase> openCases() {
    return {
        usageShown("missing", {"missing.txt"}, {}, unableToOpen("missing.txt")),
        usageShown("folder", {"folder"}, {{"folder/", ""}}, unableToOpen("folder")),
        usageShown("folder_with_trailing_slash", {"folder/"}, {{"folder/", ""}}, unableToOpen("folder/")),
        usageShown("empty_name", {""}, {serialFile}, unableToOpen("")),
        usageShown("wildcard_is_not_expanded", {"*.txt"}, {serialFile}, unableToOpen("*.txt")),
        usageShown("missing_then_a_good_file_is_not_looked_at", {"missing.txt", "serial.txt"}, {serialFile},
                   unableToOpen("missing.txt")),
        usageShown("second_cant_be_opened", {"serial.txt", "missing.txt"}, {serialFile},
                   unableToOpen("missing.txt")),
        usageShown("missing_before_a_bad_switch", {"missing.txt", "-x"}, {}, unableToOpen("missing.txt")),
        programmed("in_a_subfolder", {"sub/serial.txt"}, {{"sub/", ""}, {"sub/serial.txt", "42\n"}}, 42, noSwitch),
    };
}

const CaseFile zeroFile = {"zero.txt", "0\n"};
const CaseFile negativeFile = {"negative.txt", "-5\n"};

std::vector<ProgramCase> severalFileCases() {
    return {
        programmed("second_file_wins", {"a", "b"}, {{"a", "11111111\n"}, {"b", "22222222\n"}}, 22222222, noSwitch),
        programmed("negative_then_positive", {"negative.txt", "serial.txt"}, {negativeFile, serialFile}, 12345678,
                   noSwitch),
        usageShown("positive_then_negative", {"serial.txt", "negative.txt"}, {serialFile, negativeFile}),
        zeroRefused("negative_then_zero", {"negative.txt", "zero.txt"}, {negativeFile, zeroFile}),
        zeroRefused("zero_before_a_bad_switch", {"zero.txt", "-x"}, {zeroFile}),
        zeroRefused("zero_before_a_missing_file", {"zero.txt", "missing.txt"}, {zeroFile}),
        zeroRefused("zero_ends_the_run_before_a_good_file", {"zero.txt", "serial.txt"}, {zeroFile, serialFile}),
        programmed("the_same_file_twice", {"serial.txt", "serial.txt"}, {serialFile}, 12345678, noSwitch),
    };
}

// Run by the shared whole-program test.
INSTANTIATE_TEST_SUITE_P(SerialFileConversion, ProgramRun, testing::ValuesIn(conversionCases()), caseName);
INSTANTIATE_TEST_SUITE_P(SerialFileOpen, ProgramRun, testing::ValuesIn(openCases()), caseName);
INSTANTIATE_TEST_SUITE_P(SeveralSerialFiles, ProgramRun, testing::ValuesIn(severalFileCases()), caseName);

// Runs the case with `name` made unreadable in a fresh folder; the failures
// found, empty when it ran as expected.
std::string runWithUnreadableFile(const ProgramCase& c, const std::string& name) {
    char pattern[] = "/tmp/stelloprog-unreadable-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return std::string("mkdtemp: ") + strerror(errno);
    const std::string folder = pattern;
    const std::string file = folder + "/" + name;
    std::ofstream(file) << "12345678\n";
    chmod(file.c_str(), 0);
    const ProgramResult r = runProgram(c, folder);
    std::filesystem::remove_all(folder);
    std::string failures;
    if (r.out != c.out) failures += "standard output: " + r.out + "\n";
    if (r.err != c.err) failures += "standard error: " + r.err + "\n";
    if (r.code != platformExitCode(c.code)) failures += "exit code " + std::to_string(r.code) + "\n";
    if (r.calls != c.calls) failures += "the bridge was called\n";
    return failures;
}

// Whether this process reads files whatever their permissions say.
bool readsUnreadableFiles() {
    char pattern[] = "/tmp/stelloprog-probe-XXXXXX";
    const int probe = mkstemp(pattern);
    if (probe < 0) return false;
    close(probe);
    chmod(pattern, 0);
    const int fd = open(pattern, O_RDONLY);
    if (fd >= 0) close(fd);
    unlink(pattern);
    return fd >= 0;
}

// A file that exists but may not be read can't be opened. A process that may
// read anything (root) runs the case as the unprivileged user "nobody".
TEST(SerialFile, WithoutReadPermissionCantBeOpened) {
    const ProgramCase c = usageShown("unreadable", {"locked.txt"}, {}, unableToOpen("locked.txt"));
    if (!readsUnreadableFiles()) {
        EXPECT_EQ(runWithUnreadableFile(c, "locked.txt"), "");
        return;
    }
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    const std::string program = programName();

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(report[0]);
        std::string failures;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            failures = "skip: can't become nobody";
        } else if (access(program.c_str(), X_OK) != 0) {
            failures = "skip: nobody can't run " + program;
        } else {
            failures = runWithUnreadableFile(c, "locked.txt");
        }
        const ssize_t written = write(report[1], failures.data(), failures.size());
        _exit(written == static_cast<ssize_t>(failures.size()) ? 0 : 1);
    }
    close(report[1]);
    std::string failures;
    char buf[4096];
    for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;) failures.append(buf, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged run broke off";
    if (failures.rfind("skip: ", 0) == 0) GTEST_SKIP() << failures.substr(6);
    EXPECT_EQ(failures, "");
}

}  // namespace
