// The cases of the VM stage, run inside the VM as root: the real program and
// the real module on libusb, against the emulated bridge (cp2102_gadget) on
// the kernel's virtual USB bus, with the kernel's cp210x driver bound to it.
//
// Paths come from the environment: STELLOPROG (the installed program),
// CP2102_GADGET (the emulator), VM_UDEV_RULE (the installed rule file),
// VM_WORK (a folder for the cases).
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// --- the fixtures of the VM

// The ordinary user of the VM (its /etc/passwd and /etc/group).
const uid_t userId = 1000;
const gid_t userGroup = 1000;

std::string setting(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0') {
        fprintf(stderr, "vm_cases: %s is not set\n", name);
        exit(2);
    }
    return value;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool waitFor(const std::function<bool()>& ready, double seconds) {
    const double end = now() + seconds;
    while (!ready()) {
        if (now() > end) return false;
        usleep(50000);
    }
    return true;
}

// The emulated bridge as the host's USB core sees it.
struct Bridge {
    std::string sysfs;   // /sys/bus/usb/devices/1-1
    std::string pid;     // as sysfs has it: "ea60"
    std::string node;    // /dev/bus/usb/001/002
};

// The one device on the bus that is not a root hub.
Bridge findBridge() {
    Bridge found;
    DIR* d = opendir("/sys/bus/usb/devices");
    if (d == nullptr) return found;
    while (dirent* e = readdir(d)) {
        const std::string dir = std::string("/sys/bus/usb/devices/") + e->d_name;
        const std::string vendor = trimmed(readFile(dir + "/idVendor"));
        if (vendor.empty() || vendor == "1d6b") continue;
        char node[64];
        snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", atoi(readFile(dir + "/busnum").c_str()),
                 atoi(readFile(dir + "/devnum").c_str()));
        found = {dir, trimmed(readFile(dir + "/idProduct")), node};
    }
    closedir(d);
    return found;
}

// /dev/ttyUSB0 exists and belongs to the kernel's cp210x driver.
bool serialDriverBound() {
    char driver[256] = {};
    if (access("/dev/ttyUSB0", F_OK) != 0) return false;
    if (readlink("/sys/class/tty/ttyUSB0/device/driver", driver, sizeof driver - 1) < 0) return false;
    return strcmp(strrchr(driver, '/') + 1, "cp210x") == 0;
}

// Sends a line through the kernel's driver; the emulator echoes it.
bool uartEchoes() {
    int fd = open("/dev/ttyUSB0", O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B57600);
    tcsetattr(fd, TCSANOW, &t);
    const std::string ping = "ping 57600\n";
    std::string back;
    if (write(fd, ping.data(), ping.size()) == ssize_t(ping.size())) {
        const double end = now() + 5;
        while (back.size() < ping.size() && now() < end) {
            pollfd p = {fd, POLLIN, 0};
            char buf[64];
            if (poll(&p, 1, 200) <= 0) continue;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            back.append(buf, size_t(n));
        }
    }
    close(fd);
    return back == ping;
}

// --- who runs the program

enum class Who {
    Root,
    User,            // an ordinary user, the device node as the kernel made it
    UserWithAccess,  // the same user with what the installed udev rule grants
};

// Grants what the installed rule grants for the bridge's IDs. The VM has no
// udev: a uaccess tag becomes the ACL entry logind would add for the user at
// the seat; GROUP and MODE are applied as given.
::testing::AssertionResult grantRuleAccess(const Bridge& b) {
    const std::string ruleFile = setting("VM_UDEV_RULE");
    std::istringstream rules(readFile(ruleFile));
    std::string line;
    while (std::getline(rules, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line.find("ATTR{idVendor}==\"10c4\"") == std::string::npos ||
            line.find("ATTR{idProduct}==\"" + b.pid + "\"") == std::string::npos) {
            continue;
        }
        if (line.find("MODE=\"0666\"") != std::string::npos) {
            return ::testing::AssertionFailure() << ruleFile << " makes the node world-writable: " << line;
        }
        if (line.find("TAG+=\"uaccess\"") != std::string::npos) {
            // POSIX ACL, version 2: owner rw, user 1000 rw, group none, mask rw, others none.
            const uint32_t u = userId;
            const uint8_t acl[] = {2, 0, 0, 0,
                                   0x01, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0x02, 0, 6, 0, uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24),
                                   0x04, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0x10, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0x20, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
            if (setxattr(b.node.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0) {
                return ::testing::AssertionFailure() << "ACL on " << b.node << ": " << strerror(errno);
            }
            return ::testing::AssertionSuccess();
        }
        const size_t group = line.find("GROUP=\"");
        const size_t mode = line.find("MODE=\"");
        if (group != std::string::npos && mode != std::string::npos) {
            const std::string name = line.substr(group + 7, line.find('"', group + 7) - group - 7);
            const struct group* g = getgrnam(name.c_str());
            if (g == nullptr || chown(b.node.c_str(), 0, g->gr_gid) != 0 ||
                chmod(b.node.c_str(), mode_t(strtol(line.c_str() + mode + 6, nullptr, 8))) != 0) {
                return ::testing::AssertionFailure() << "group " << name << " on " << b.node;
            }
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << ruleFile << ": no uaccess tag, group or mode in: " << line;
    }
    return ::testing::AssertionFailure() << ruleFile << " has no rule for 10c4:" << b.pid;
}

struct Result {
    std::string out;
    std::string err;
    int code = -1;   // the exit code; -1 when it didn't exit
};

// Runs argv in `dir` as `who`, at most `seconds`.
Result run(const std::vector<std::string>& argv, const std::string& dir, Who who, double seconds) {
    const std::string outFile = dir + "/stdout", errFile = dir + "/stderr";
    pid_t child = fork();
    if (child == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (who != Who::Root) {
            // In the groups /etc/group gives the user.
            if (initgroups("stello", userGroup) != 0 || setgid(userGroup) != 0 || setuid(userId) != 0) _exit(126);
        }
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        char path[] = "PATH=/usr/bin:/bin";
        char* env[] = {path, nullptr};
        execve(args[0], args.data(), env);
        _exit(127);
    }
    Result r;
    int status = 0;
    const double end = now() + seconds;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (now() > end) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            r.err = "(killed after " + std::to_string(int(seconds)) + " s)";
            return r;
        }
        usleep(20000);
    }
    r.out = readFile(outFile);
    r.err = readFile(errFile);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// --- the emulated bridge

struct Emulator {
    pid_t pid = -1;
    std::string log;
    std::string config;
};

Emulator startEmulator(const std::vector<std::string>& options, const std::string& dir) {
    Emulator e;
    e.log = dir + "/gadget.log";
    e.config = dir + "/gadget.config";
    std::vector<std::string> argv = {setting("CP2102_GADGET"), "--log", e.log, "--config", e.config};
    argv.insert(argv.end(), options.begin(), options.end());
    e.pid = fork();
    if (e.pid == 0) {
        int out = open((dir + "/gadget.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return e;
}

// Ends the emulator; its final configuration is then in its config file.
bool stopEmulator(Emulator& e) {
    if (e.pid <= 0) return false;
    kill(e.pid, SIGTERM);
    int status = 0;
    const bool ended = waitFor([&] { return waitpid(e.pid, &status, WNOHANG) == e.pid; }, 10);
    if (!ended) {
        kill(e.pid, SIGKILL);
        waitpid(e.pid, &status, 0);
    }
    e.pid = -1;
    // The next case needs the bus to itself.
    waitFor([] { return findBridge().sysfs.empty(); }, 10);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The log's size once nothing has been added to it for a moment: an OUT data
// stage completes on the bus before the emulator has seen it.
size_t settledLogSize(const Emulator& e) {
    size_t size = readFile(e.log).size();
    for (int quietPolls = 0, polls = 0; quietPolls < 3 && polls < 50; ++polls) {
        usleep(100000);
        const size_t now = readFile(e.log).size();
        quietPolls = now == size ? quietPolls + 1 : 0;
        size = now;
    }
    return size;
}

// The request lines of the log from byte `from` on; event lines start with '#'.
std::vector<std::string> requestsSince(const Emulator& e, size_t from) {
    std::istringstream log(readFile(e.log).substr(from));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

// --- expected requests

// A request the program's step sends, as the emulator logs it.
struct Request {
    std::string step;
    std::string line;
};

std::string hex16(unsigned v) {
    char text[8];
    snprintf(text, sizeof text, "%04X", v);
    return text;
}

std::string descriptor(const std::string& text) {
    char hex[8];
    snprintf(hex, sizeof hex, "%02X03", unsigned(2 + 2 * text.size()));
    std::string all = hex;
    for (unsigned char c : text) {
        snprintf(hex, sizeof hex, "%02X00", c);
        all += hex;
    }
    return all;
}

std::string baudPayload() {
    std::string all;
    for (int i = 0; i < 32; ++i) all += "FE5FFF63010000E10000";
    return all + "0000";
}

Request scalar(const std::string& step, const std::string& name, unsigned value, unsigned index,
               const std::string& reply = "ack") {
    return {step, name + ": 40 FF " + hex16(value) + " " + hex16(index) + " 0000 -> " + reply};
}

Request withData(const std::string& step, const std::string& name, unsigned value, const std::string& hex) {
    return {step, name + ": 40 FF " + hex16(value) + " 0000 " + hex16(unsigned(hex.size() / 2)) + " " + hex + " -> ack"};
}

Request partNumber(const std::string& answer) { return {"open", "part number: C0 FF 370B 0000 0001 -> " + answer}; }

// The writes of the -v -p -l run with serial 12345678, in their order.
const std::vector<Request> writes = {
    scalar("vendor ID", "vendor ID", 0x3701, 0x10C4),
    scalar("product ID", "product ID", 0x3702, 0x813F),
    withData("product string", "product string", 0x3703, descriptor("nolt Quintavelor")),
    withData("serial number", "serial string", 0x3704, descriptor("12 345 678")),
    scalar("self-powered", "configuration attributes", 0x3705, 0x00C0),
    scalar("maximum power", "maximum power", 0x3706, 0x0000),
    scalar("device version", "device release", 0x3707, 0x0100),
    withData("baud rates", "baud-rate table", 0x3709, baudPayload()),
    scalar("lock", "lock", 0x370A, 0x00F0),
};

std::vector<Request> requests(const std::string& part, std::initializer_list<const char*> steps) {
    std::vector<Request> all = {partNumber(part)};
    for (const char* step : steps) {
        for (const Request& r : writes) {
            if (r.step == step) all.push_back(r);
        }
    }
    return all;
}

// Names the first request that differs, as step and wire line.
::testing::AssertionResult sameRequests(const std::vector<Request>& expected, const std::vector<std::string>& seen) {
    std::ostringstream why;
    const size_t n = std::max(expected.size(), seen.size());
    for (size_t i = 0; i < n; ++i) {
        if (i < expected.size() && i < seen.size() && expected[i].line == seen[i]) continue;
        why << "request " << i + 1 << " of " << expected.size();
        if (i < expected.size()) {
            why << " (" << expected[i].step << ")\n  expected: " << expected[i].line << "\n";
        } else {
            why << ": none expected\n";
        }
        why << "  seen:     " << (i < seen.size() ? seen[i] : "nothing") << "\n";
        why << "all requests seen:\n";
        for (const std::string& s : seen) why << "  " << s << "\n";
        return ::testing::AssertionFailure() << why.str();
    }
    return ::testing::AssertionSuccess();
}

// --- expected configurations

using Fields = std::map<std::string, std::string>;

// Every field, in the emulator's order, from the factory values of the part.
std::string configuration(const std::string& part, const std::string& product, const Fields& changed) {
    const char* keys[] = {"part", "vid", "pid", "manufacturer", "product", "serial", "attributes", "maxPower",
                          "release", "baudTable", "locked"};
    Fields f = {{"part", part}, {"vid", "0x10C4"}, {"pid", "0xEA60"}, {"manufacturer", "Silicon Labs"},
                {"product", product}, {"serial", "0001"}, {"attributes", "0x80"}, {"maxPower", "50"},
                {"release", "0x0100"}, {"baudTable", "factory"}, {"locked", "no"}};
    for (const auto& c : changed) f[c.first] = c.second;
    std::string text;
    for (const char* k : keys) text += std::string(k) + "=" + f[k] + "\n";
    return text;
}

const std::string cp2102 = "CP2102 USB to UART Bridge Controller";
const std::string cp2104 = "CP2104 USB to UART Bridge Controller";
const std::string cp2102n = "CP2102N USB to UART Bridge Controller";

const Fields programmed = {{"vid", "0x10C4"}, {"pid", "0x813F"}, {"product", "nolt Quintavelor"},
                           {"serial", "12 345 678"}, {"attributes", "0xC0"}, {"maxPower", "0"},
                           {"release", "0x0100"}, {"baudTable", "32 x FE5F FF63 1 57600"}};

Fields with(Fields f, const Fields& more) {
    for (const auto& m : more) f[m.first] = m.second;
    return f;
}

// --- the cases

struct Run {
    std::vector<std::string> args;
    std::string out;    // "{path}" stands for the bridge's device node
    std::string err;
    int code;
    std::vector<Request> requests;
};

// How the kernel's cp210x driver comes to the bridge.
enum class Driver {
    Binds,       // by the bridge's own IDs
    Stays,       // not at all: a foreign device
    NewId,       // after its IDs are written to the driver's new_id
};

struct VmCase {
    std::string name;
    std::vector<std::string> emulator;   // its options: the part it plays
    Driver driver;
    Who who;
    Run first;
    bool restart;                        // re-enumerate with the configuration held, then run `second`
    Run second;
    std::string config;                  // the emulator's final configuration
};

std::string listing(const std::string& serial, const std::string& product) {
    return "Found 1 devices\n0: " + serial + " | " + product + " | {path}\n";
}

const std::vector<std::string> fullArgs = {"-v", "-p", "-l", "serial.txt"};
const std::string fullOut = listing("0001", cp2102) +
                            "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\ndevice is locked\n";
const std::vector<Request> fullRequests =
    requests("02", {"vendor ID", "product ID", "product string", "serial number", "self-powered", "maximum power",
                    "device version", "baud rates", "lock"});

const VmCase cases[] = {
    {"full_run", {}, Driver::Binds, Who::Root,
     {fullArgs, fullOut, "", 0, fullRequests},
     false, {},
     configuration("CP2102", cp2102, with(programmed, {{"locked", "yes"}}))},

    {"restart_as_813f_lists_new_serial", {}, Driver::Binds, Who::Root,
     {{"-v", "-p", "serial.txt"},
      listing("0001", cp2102) + "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\n", "", 0,
      requests("02", {"vendor ID", "product ID", "product string", "serial number", "self-powered",
                      "maximum power", "device version", "baud rates"})},
     true,
     {{}, listing("12 345 678", "nolt Quintavelor") + "Serial# '12 345 678'\n", "", 0,
      requests("02", {"product string", "self-powered", "maximum power", "device version", "baud rates"})},
     configuration("CP2102", cp2102, programmed)},

    {"cp2104_stops_at_baud_table", {"--part", "CP2104"}, Driver::Binds, Who::Root,
     {fullArgs,
      listing("0001", cp2104) + "Serial# '12 345 678'\nVID is set\nPID is set to NOLT\nSERIAL # is set\n",
      "Kann Baudraten nicht setzen (Function not supported)\n", 4,
      requests("04", {"vendor ID", "product ID", "product string", "serial number", "self-powered",
                      "maximum power", "device version"})},
     false, {},
     configuration("CP2104", cp2104, with(programmed, {{"baudTable", "factory"}}))},

    {"locked_part_stalls_first_write", {"--locked"}, Driver::Binds, Who::Root,
     {fullArgs, listing("0001", cp2102) + "Serial# '12 345 678'\n", "Kann VID nicht setzen (Device IO failed)\n", 3,
      {partNumber("02"), scalar("vendor ID", "vendor ID", 0x3701, 0x10C4, "stall (locked)")}},
     false, {},
     configuration("CP2102", cp2102, {{"locked", "yes"}})},

    {"locked_part_stalls_write_with_data", {"--locked"}, Driver::Binds, Who::Root,
     {{"serial.txt"}, listing("0001", cp2102) + "Serial# '12 345 678'\n",
      "Kann Productstring nicht setzen (Device IO failed)\n", 3,
      {partNumber("02"), {"product string", "product string: 40 FF 3703 0000 0022 -> stall (locked)"}}},
     false, {},
     configuration("CP2102", cp2102, {{"locked", "yes"}})},

    {"cp2102n_gets_no_write", {"--part", "CP2102N"}, Driver::Binds, Who::Root,
     {fullArgs, listing("0001", cp2102n) + "Serial# '12 345 678'\n",
      "Kann VID nicht setzen (Function not supported)\n", 4, {partNumber("20")}},
     false, {},
     configuration("CP2102N", cp2102n, {})},

    {"foreign_device_gets_no_request", {"--vid", "1234", "--pid", "5678"}, Driver::Stays, Who::Root,
     {fullArgs, "Found 0 devices\n", "Keine CP210x-Devices gefunden!\n", 255, {}},
     false, {},
     configuration("CP2102", cp2102, {{"vid", "0x1234"}, {"pid", "0x5678"}})},

    {"foreign_ids_bound_by_the_driver_are_programmed", {"--vid", "1234", "--pid", "5678"}, Driver::NewId,
     Who::Root,
     {fullArgs, fullOut, "", 0, fullRequests},
     false, {},
     configuration("CP2102", cp2102, with(programmed, {{"locked", "yes"}}))},

    {"user_without_access", {}, Driver::Binds, Who::User,
     {fullArgs, listing("0001", cp2102),
      "No access to {path}: install the udev rule 70-stelloprog-cp210x.rules and replug the bridge\n"
      "Fehler beim \xD6" "ffnen des Devices!\n",
      255, {}},
     false, {},
     configuration("CP2102", cp2102, {})},

    {"user_with_rule_access", {}, Driver::Binds, Who::UserWithAccess,
     {fullArgs, fullOut, "", 0, fullRequests},
     false, {},
     configuration("CP2102", cp2102, with(programmed, {{"locked", "yes"}}))},
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Runs one program run of a case and checks all it shows.
void checkRun(const std::string& label, const Run& expected, const Emulator& e, const std::string& dir, Who who) {
    const Bridge b = findBridge();
    ASSERT_FALSE(b.sysfs.empty()) << label << ": the bridge is not on the bus";
    const size_t logFrom = settledLogSize(e);

    std::vector<std::string> argv = {setting("STELLOPROG")};
    argv.insert(argv.end(), expected.args.begin(), expected.args.end());
    const Result r = run(argv, dir, who, 60);

    EXPECT_EQ(r.out, replaced(expected.out, "{path}", b.node)) << label << ": standard output";
    EXPECT_EQ(r.err, replaced(expected.err, "{path}", b.node)) << label << ": standard error";
    EXPECT_EQ(r.code, expected.code) << label << ": exit code";
    settledLogSize(e);
    EXPECT_TRUE(sameRequests(expected.requests, requestsSince(e, logFrom))) << label << ": requests";
}

void PrintTo(const VmCase& c, std::ostream* os) { *os << c.name; }

class VmRun : public testing::TestWithParam<VmCase> {};

TEST_P(VmRun, Case) {
    const VmCase& c = GetParam();
    const std::string dir = setting("VM_WORK") + "/" + c.name;
    mkdir(dir.c_str(), 0755);
    chmod(dir.c_str(), 0777);   // the ordinary user writes the program's output here
    writeFile(dir + "/serial.txt", "12345678\n");

    Emulator e = startEmulator(c.emulator, dir);
    const bool onBus = waitFor([] { return !findBridge().sysfs.empty(); }, 20);
    const Bridge b = findBridge();
    const std::string newId = "/sys/bus/usb-serial/drivers/cp210x/new_id";
    const std::string ids = trimmed(readFile(b.sysfs + "/idVendor")) + " " + b.pid;
    if (onBus && c.driver == Driver::NewId) writeFile(newId, ids);
    // A foreign device is given a moment in which the driver must not bind.
    const bool up =
        onBus && (c.driver == Driver::Stays ? !waitFor(serialDriverBound, 2) : waitFor(serialDriverBound, 20));
    if (!up) {
        stopEmulator(e);
        FAIL() << (!onBus ? "the emulated bridge did not come up on the bus\n"
                   : c.driver == Driver::Stays ? "the kernel's cp210x driver bound a foreign device\n"
                                               : "/dev/ttyUSB0 did not come up bound to cp210x\n")
               << readFile(dir + "/gadget.out") << readFile(e.log);
    }
    if (c.who == Who::UserWithAccess) {
        EXPECT_TRUE(grantRuleAccess(b));
    }
    const bool bound = c.driver != Driver::Stays;
    if (c.who == Who::Root && bound) {
        EXPECT_TRUE(uartEchoes()) << "the UART behind /dev/ttyUSB0 does not echo before the run";
    }

    // The kernel's driver got an answer to everything it asked while binding
    // and driving the UART.
    for (const std::string& line : requestsSince(e, 0)) {
        EXPECT_EQ(line.find("-> stall"), std::string::npos) << "the kernel's cp210x driver was refused: " << line;
    }

    checkRun("first run", c.first, e, dir, c.who);
    // The kernel's driver stays bound while the program sends its requests.
    EXPECT_EQ(serialDriverBound(), bound) << "/dev/ttyUSB0 came or went during the run";
    if (c.who == Who::Root && bound) {
        EXPECT_TRUE(uartEchoes()) << "the UART behind /dev/ttyUSB0 does not echo after the run";
    }

    if (c.restart) {
        kill(e.pid, SIGHUP);
        const bool back = waitFor(
            [&] {
                const Bridge now = findBridge();
                return !now.sysfs.empty() && now.node != b.node;
            },
            20);
        EXPECT_TRUE(back) << "the bridge did not come back after its restart";
        if (back) {
            EXPECT_EQ(findBridge().pid, "813f");
            EXPECT_EQ(trimmed(readFile(findBridge().sysfs + "/serial")), "12 345 678");
            checkRun("second run", c.second, e, dir, c.who);
        }
    }

    EXPECT_TRUE(stopEmulator(e)) << "the emulator did not end cleanly:\n" << readFile(dir + "/gadget.out");
    if (c.driver == Driver::NewId) writeFile("/sys/bus/usb-serial/drivers/cp210x/remove_id", ids);
    EXPECT_EQ(readFile(e.config), c.config) << "final configuration";
}

INSTANTIATE_TEST_SUITE_P(Vm, VmRun, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<VmCase>& param) { return param.param.name; });

}  // namespace
