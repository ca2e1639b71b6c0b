// Times the full programming run of the real binary against the simulated
// bridge: bench_program STELLOPROG MODULE_DIR RUNS. Prints the median wall
// time per run and the peak memory of one run. A benchmark, not a test.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_program STELLOPROG MODULE_DIR RUNS\n");
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
    std::remove((dir + "/state.json").c_str());
    std::remove((dir + "/serial.txt").c_str());
    rmdir(dir.c_str());
    return 0;
}
