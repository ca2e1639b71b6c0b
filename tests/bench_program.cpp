// Times the full programming run of the real binary against the simulated
// bridge: bench_program STELLOPROG MODULE_DIR RUNS [USB_MODULE_DIR
// FAKE_LIBUSB_DIR]. Prints the median wall time per run and the peak memory
// of one run; with the last two, also the control transfers one run sends
// through the USB module to an emulated CP2102. A benchmark, not a test.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const freshBridge = R"({"bridges": [{}]})";

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// One run of `-v -p -l serial.txt` on a fresh bridge; returns its peak memory in KiB.
long runOnce(const std::string& binary, const std::string& dir) {
    writeFile(dir + "/state.json", freshBridge);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr)) {
            _exit(125);
        }
        execl(binary.c_str(), binary.c_str(), "-v", "-p", "-l", "serial.txt", static_cast<char*>(nullptr));
        _exit(126);
    }
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "run failed with status %d\n", status);
        exit(1);
    }
    return usage.ru_maxrss;
}

// One run of `-v -p -l serial.txt` through the USB module on an emulated
// CP2102, counted from the fake libusb's log. It must send one transfer per
// write and the part-number read, and never reset the bridge; false if not.
bool countTransfers(const std::string& binary, const std::string& dir, const std::string& usbDir,
                    const std::string& fakeDir) {
    const std::string log = dir + "/fake-libusb.log";
    writeFile(dir + "/devices.json", R"({"devices": [{}]})");
    std::remove(log.c_str());
    unsetenv("CP210X_SIM_STATE");
    setenv("LD_LIBRARY_PATH", (usbDir + ":" + fakeDir).c_str(), 1);
    setenv("FAKE_LIBUSB_DEVICES", (dir + "/devices.json").c_str(), 1);
    setenv("FAKE_LIBUSB_LOG", log.c_str(), 1);
    fflush(stdout);  // or the child's stdout would write it again
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) {
            _exit(125);
        }
        execl(binary.c_str(), binary.c_str(), "-v", "-p", "-l", "serial.txt", static_cast<char*>(nullptr));
        _exit(126);
    }
    int status = 0;
    waitpid(pid, &status, 0);

    // Log lines: "open ...", "close ...", "reset ...", "exit", or a transfer
    // "PORT TYPE REQUEST VALUE ...". Until the first close the bridge is
    // being listed; from the next open on it is being programmed.
    std::ifstream in(log);
    int listing = 0, writes = 0, partReads = 0, otherRequests = 0, resets = 0, opens = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string port, type, request, value;
        fields >> port >> type >> request >> value;
        if (port == "close" || port == "exit") continue;
        if (port == "open") {
            ++opens;
        } else if (port == "reset") {
            ++resets;
        } else if (opens < 2) {
            ++listing;
        } else if (type == "40" && request == "FF") {
            ++writes;
        } else if (type == "C0" && request == "FF" && value == "370B") {
            ++partReads;
        } else {
            ++otherRequests;
        }
    }
    const int programming = writes + partReads + otherRequests;
    printf("control transfers of one full run through the USB module (emulated CP2102): %d\n", listing + programming);
    printf("  listing: %d string-descriptor reads\n", listing);
    printf("  programming: %d = %d writes + %d part-number read + %d other; resets: %d\n", programming, writes,
           partReads, otherRequests, resets);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && writes == 9 && partReads == 1 &&
                    otherRequests == 0 && resets == 0;
    if (!ok) fprintf(stderr, "expected exit 0, 9 writes, 1 part-number read, nothing else and no reset\n");
    std::remove(log.c_str());
    std::remove((dir + "/devices.json").c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        fprintf(stderr, "usage: bench_program STELLOPROG MODULE_DIR RUNS [USB_MODULE_DIR FAKE_LIBUSB_DIR]\n");
        return 2;
    }
    const std::string binary = argv[1];
    const int runs = atoi(argv[3]);
    char pattern[] = "/tmp/stelloprog-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    writeFile(dir + "/serial.txt", "12345678\n");
    setenv("LD_LIBRARY_PATH", argv[2], 1);
    setenv("CP210X_SIM_STATE", (dir + "/state.json").c_str(), 1);

    std::vector<double> times;
    long peak = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        peak = std::max(peak, runOnce(binary, dir));
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    printf("full programming run (-v -p -l, serial file) against the simulated bridge, %d runs\n", runs);
    printf("median time per run: %.2f ms\n", times[times.size() / 2]);
    printf("peak memory of one run: %ld KiB\n", peak);
    const bool transfersOk = argc != 6 || countTransfers(binary, dir, argv[4], argv[5]);
    std::remove((dir + "/state.json").c_str());
    std::remove((dir + "/serial.txt").c_str());
    rmdir(dir.c_str());
    return transfersOk ? 0 : 1;
}
