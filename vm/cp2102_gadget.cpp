// cp2102_gadget: plays a CP210x bridge on a USB device controller, through
// a configfs gadget with one FunctionFS function.
//
//   cp2102_gadget --log FILE --config FILE [--part NAME] [--locked] [--serial TEXT]
//                 [--vid ID] [--pid ID]
//
// The gadget layer presents the device: IDs, release, strings 1 to 3,
// attributes and power from the configuration the chip holds, one
// vendor-class interface with a bulk IN and a bulk OUT endpoint; it answers
// the standard requests itself. Every other control request reaches us and
// goes to the log, one line each (see logLine); events are lines starting
// with '#'. The configuration is written to the config file whenever it
// changes and at the end, and printed on standard output at the end.
// SIGHUP re-enumerates with the configuration held (new IDs and strings);
// SIGTERM or SIGINT ends it. The bulk endpoints echo what they receive, so
// the kernel's serial driver has a working UART to talk to.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "cp2102_model.h"

namespace {

volatile sig_atomic_t restartWanted = 0;
volatile sig_atomic_t endWanted = 0;

const std::string gadget = "/sys/kernel/config/usb_gadget/cp210x";
const std::string function = gadget + "/functions/ffs.cp210x";
const std::string configuration = gadget + "/configs/c.1";
const std::string ffsMount = "/dev/ffs-cp210x";

std::string logFile;
std::string configFile;
int logFd = -1;

void logText(const std::string& line) {
    std::string text = line + "\n";
    if (write(logFd, text.data(), text.size()) < 0) perror("cp2102_gadget: log");
}

bool fail(const std::string& what) {
    logText("# " + what + ": " + strerror(errno));
    fprintf(stderr, "cp2102_gadget: %s: %s\n", what.c_str(), strerror(errno));
    return false;
}

void saveConfig(const BridgeConfig& config) {
    const std::string text = configText(config);
    const std::string temporary = configFile + ".new";
    FILE* f = fopen(temporary.c_str(), "w");
    if (f == nullptr || fputs(text.c_str(), f) < 0 || fclose(f) != 0 ||
        rename(temporary.c_str(), configFile.c_str()) != 0) {
        perror("cp2102_gadget: config file");
    }
}

bool writeAttribute(const std::string& path, const std::string& value) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return fail(path);
    const bool ok = write(fd, value.data(), value.size()) == ssize_t(value.size());
    const int error = errno;
    close(fd);
    errno = error;
    return ok || fail(path + " <- '" + value + "'");
}

std::string hexValue(unsigned v) {
    char text[16];
    snprintf(text, sizeof text, "0x%04x", v);
    return text;
}

// What the host is to see of the configuration held; taken at the next bind.
bool describeDevice(const BridgeConfig& c) {
    return writeAttribute(gadget + "/idVendor", hexValue(c.vid)) &&
           writeAttribute(gadget + "/idProduct", hexValue(c.pid)) &&
           writeAttribute(gadget + "/bcdDevice", hexValue(c.release)) &&
           writeAttribute(gadget + "/strings/0x409/manufacturer", utf8(c.manufacturer)) &&
           writeAttribute(gadget + "/strings/0x409/product", utf8(c.product)) &&
           writeAttribute(gadget + "/strings/0x409/serialnumber", utf8(c.serial)) &&
           writeAttribute(configuration + "/bmAttributes", hexValue(c.attributes)) &&
           writeAttribute(configuration + "/MaxPower", std::to_string(2 * c.maxPower));
}

// The first device controller the kernel offers (dummy_udc.0 in the VM).
std::string controller() {
    std::string name;
    if (DIR* d = opendir("/sys/class/udc")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                name = e->d_name;
                break;
            }
        }
        closedir(d);
    }
    return name;
}

bool bind() { return writeAttribute(gadget + "/UDC", controller()); }
bool unbind() { return writeAttribute(gadget + "/UDC", "\n"); }

// Tells FunctionFS our interface: full speed, every control request to us.
bool writeFunctionDescriptors(int ep0) {
    struct Descriptors {
        usb_functionfs_descs_head_v2 header;
        __le32 fsCount;
        usb_interface_descriptor interface;
        usb_endpoint_descriptor_no_audio in;
        usb_endpoint_descriptor_no_audio out;
    } __attribute__((packed)) d = {};
    d.header.magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    d.header.length = sizeof d;
    d.header.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP;
    d.fsCount = 3;
    d.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_VENDOR_SPEC, 0, 0, 0};
    // The controller assigns the endpoint numbers.
    d.in = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, USB_DIR_IN | 1, USB_ENDPOINT_XFER_BULK, 64, 0};
    d.out = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, USB_DIR_OUT | 1, USB_ENDPOINT_XFER_BULK, 64, 0};
    struct {
        usb_functionfs_strings_head header;
    } __attribute__((packed)) strings = {};
    strings.header.magic = FUNCTIONFS_STRINGS_MAGIC;
    strings.header.length = sizeof strings;
    if (write(ep0, &d, sizeof d) != ssize_t(sizeof d)) return fail("function descriptors");
    if (write(ep0, &strings, sizeof strings) != ssize_t(sizeof strings)) return fail("function strings");
    return true;
}

// The bulk pair: what arrives on OUT goes back on IN, whenever the host has
// the interface enabled.
struct Echo {
    int in = -1;
    int out = -1;
    std::thread pump;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
};

Echo echo;

void startEcho() {
    echo.in = open((ffsMount + "/ep1").c_str(), O_RDWR);
    echo.out = open((ffsMount + "/ep2").c_str(), O_RDWR);
    if (echo.in < 0 || echo.out < 0) {
        fail("bulk endpoints");
        return;
    }
    echo.running = true;
    echo.pump = std::thread([] {
        uint8_t buf[64];
        while (!echo.stopping) {
            ssize_t n = read(echo.out, buf, sizeof buf);
            // Between configurations the endpoints refuse I/O for a while.
            if (n <= 0 || write(echo.in, buf, size_t(n)) != n) usleep(20000);
        }
        echo.running = false;
    });
}

void stopEcho() {
    echo.stopping = true;
    if (echo.pump.joinable()) {
        // The pump may sit in a blocking read or write; a signal ends it.
        while (echo.running) {
            pthread_kill(echo.pump.native_handle(), SIGUSR2);
            usleep(10000);
        }
        echo.pump.join();
    }
    if (echo.in >= 0) close(echo.in);
    if (echo.out >= 0) close(echo.out);
    echo.in = echo.out = -1;
}

uint16_t le16(__le16 v) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&v);
    return uint16_t(b[0] | b[1] << 8);
}

// Answers one request on ep0: its data or status stage, or a stall. FunctionFS
// stalls a request when it is answered in the wrong direction.
void serveSetup(int ep0, Chip& chip, const usb_ctrlrequest& ctrl) {
    const Setup s = {ctrl.bRequestType, ctrl.bRequest, le16(ctrl.wValue), le16(ctrl.wIndex), le16(ctrl.wLength)};
    const bool in = (s.requestType & USB_DIR_IN) != 0;
    const std::string before = configText(chip.config);

    std::vector<uint8_t> out;
    Reply reply = screen(chip, s);
    if (reply.kind != Reply::Stall && !in && s.length > 0) {
        out.resize(s.length);
        ssize_t n = read(ep0, out.data(), out.size());
        if (n < 0) {
            fail(requestName(s) + ": OUT data stage");
            return;
        }
        out.resize(size_t(n));
    }
    if (reply.kind != Reply::Stall) reply = answer(chip, s, out);
    // Logged before the reply ends the transfer, so whoever sees the
    // transfer done finds it in the log.
    logText(logLine(s, out, reply));
    if (configText(chip.config) != before) saveConfig(chip.config);

    uint8_t none = 0;
    ssize_t result = 0;
    if (reply.kind == Reply::Stall) {
        result = in ? read(ep0, &none, 0) : write(ep0, &none, 0);
    } else if (in) {
        result = write(ep0, reply.data.data(), reply.data.size());
    } else if (s.length == 0) {
        result = read(ep0, &none, 0);
    }
    if (result < 0 && !(reply.kind == Reply::Stall && errno == EL2HLT)) fail(requestName(s) + ": ep0");
}

const char* eventName(uint8_t type) {
    static const char* const names[] = {"bound", "unbound", "enabled", "disabled", "setup", "suspended", "resumed"};
    return type < sizeof names / sizeof names[0] ? names[type] : "unknown event";
}

// Serves ep0 until a signal asks for a restart or the end.
bool serve(int ep0, Chip& chip, const sigset_t& waitMask) {
    pollfd p = {ep0, POLLIN, 0};
    while (!restartWanted && !endWanted) {
        int ready = ppoll(&p, 1, nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail("poll");
        }
        usb_functionfs_event events[4];
        ssize_t n = read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return fail("ep0 events");
        }
        for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
            if (events[i].type == FUNCTIONFS_SETUP) {
                serveSetup(ep0, chip, events[i].u.setup);
            } else {
                logText(std::string("# ") + eventName(events[i].type));
            }
        }
    }
    return true;
}

bool mkdirs(std::initializer_list<std::string> dirs) {
    for (const std::string& d : dirs) {
        if (mkdir(d.c_str(), 0755) != 0 && errno != EEXIST) return fail(d);
    }
    return true;
}

// The gadget with its one function, mounted and described; not yet bound.
int createGadget(const BridgeConfig& config) {
    if (!mkdirs({gadget, gadget + "/strings/0x409", configuration, function, ffsMount})) return -1;
    if (!writeAttribute(gadget + "/bcdUSB", "0x0110") || !writeAttribute(gadget + "/max_speed", "full-speed") ||
        !describeDevice(config)) {
        return -1;
    }
    const std::string link = configuration + "/ffs.cp210x";
    if (symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST) {
        fail(link);
        return -1;
    }
    if (mount("cp210x", ffsMount.c_str(), "functionfs", 0, nullptr) != 0) {
        fail("mount functionfs");
        return -1;
    }
    int ep0 = open((ffsMount + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0) {
        fail("ep0");
        return -1;
    }
    if (!writeFunctionDescriptors(ep0)) {
        close(ep0);
        return -1;
    }
    return ep0;
}

void removeGadget(int ep0) {
    if (ep0 >= 0) close(ep0);
    umount(ffsMount.c_str());
    unlink((configuration + "/ffs.cp210x").c_str());
    for (const std::string& d : {configuration, function, gadget + "/strings/0x409", gadget, ffsMount}) {
        rmdir(d.c_str());
    }
}

void usage() {
    fprintf(stderr,
            "usage: cp2102_gadget --log FILE --config FILE [--part NAME] [--locked] [--serial TEXT] "
            "[--vid ID] [--pid ID]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    const EmulatedPart* part = emulatedPart("CP2102");
    bool locked = false;
    const char* serial = nullptr;
    long vid = -1, pid = -1;   // the IDs it starts with; -1: the factory ones
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--log" && hasValue) {
            logFile = argv[++i];
        } else if (arg == "--config" && hasValue) {
            configFile = argv[++i];
        } else if (arg == "--part" && hasValue) {
            part = emulatedPart(argv[++i]);
            if (part == nullptr) {
                fprintf(stderr, "cp2102_gadget: unknown part %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--serial" && hasValue) {
            serial = argv[++i];
        } else if ((arg == "--vid" || arg == "--pid") && hasValue) {
            char* end = nullptr;
            const long id = strtol(argv[++i], &end, 16);
            if (*end != '\0' || id < 0 || id > 0xFFFF) usage();
            (arg == "--vid" ? vid : pid) = id;
        } else if (arg == "--locked") {
            locked = true;
        } else {
            usage();
        }
    }
    if (logFile.empty() || configFile.empty()) usage();

    logFd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (logFd < 0) {
        perror(logFile.c_str());
        return 2;
    }

    Chip chip;
    chip.config = factoryConfig(*part);
    chip.config.locked = locked;
    if (vid >= 0) chip.config.vid = uint16_t(vid);
    if (pid >= 0) chip.config.pid = uint16_t(pid);
    if (serial != nullptr) {
        chip.config.serial.clear();
        for (const char* c = serial; *c != '\0'; ++c) chip.config.serial.push_back(char16_t(uint8_t(*c)));
    }
    saveConfig(chip.config);

    // The signals that steer us arrive only while we wait in ppoll; SIGUSR2
    // only interrupts the echo pump's I/O.
    struct sigaction action = {};
    action.sa_handler = [](int sig) {
        if (sig == SIGHUP) restartWanted = 1;
        else endWanted = 1;
    };
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = [](int) {};
    sigaction(SIGUSR2, &action, nullptr);
    sigset_t steering, waitMask;
    sigemptyset(&steering);
    sigaddset(&steering, SIGHUP);
    sigaddset(&steering, SIGTERM);
    sigaddset(&steering, SIGINT);
    sigprocmask(SIG_BLOCK, &steering, &waitMask);

    int ep0 = createGadget(chip.config);
    bool ok = ep0 >= 0;
    if (ok) startEcho();
    while (ok) {
        char ids[64];
        snprintf(ids, sizeof ids, "# attaching as %04X:%04X", chip.config.vid, chip.config.pid);
        logText(ids);
        ok = bind() && serve(ep0, chip, waitMask);
        if (!restartWanted) break;
        restartWanted = 0;
        logText("# restarting");
        ok = ok && unbind();
        // Long enough for the host to see the bridge leave before it returns.
        usleep(300000);
        ok = ok && describeDevice(chip.config);
    }
    if (ep0 >= 0) {
        unbind();
        stopEcho();
    }
    removeGadget(ep0);

    saveConfig(chip.config);
    logText("# final configuration");
    fputs(configText(chip.config).c_str(), stdout);
    return ok ? 0 : 1;
}
