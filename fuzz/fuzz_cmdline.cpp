// Fuzz target: argument vectors in, option flags and the outcome of parseArgs
// out, held against a model of the walk.
//
// The input is the argument vector with NUL bytes between the arguments; the
// first is the program name. Serial files come from memory, never from the
// disk: a name that is empty or begins with '!' can't be opened, any other
// name opens as a file holding the name itself, so file names carry numbers
// into the walk. This definition of openSerialFile takes the place of the
// platform's (nothing else of that object is linked in).
//
// parseArgs ends the process through exit() for the usage screen and for a
// zero. The target is linked with -Wl,--wrap=exit: the calls to exit from the
// linked objects reach __wrap_exit, which, while parseArgs runs, notes the
// code and longjmps back into the target. The frames it skips (parseArgs,
// the zero check, usage) hold no object with a destructor, and the file is
// closed before a zero ends the run, so nothing is leaked or left half done.
// Outside parseArgs, for libFuzzer's own exit, it passes on to the real exit.
// Standard error is redirected into memory for each run, so the messages are
// checked too; sanitizer reports write to the descriptor and still show.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "bridge/programming.h"
#include "fuzz/reference.h"

namespace {

jmp_buf backFromExit;
bool insideParseArgs = false;
int exitStatus = 0;

[[noreturn]] void fail(FILE* report, const char* what) {
    fprintf(report, "argument walk: %s\n", what);
    abort();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class End { returned, cantOpen, usage, zero };

struct Model {
    End end = End::returned;
    int32_t result = 0;
    int32_t flags[4] = {0, 0, 0, 0};  // vid, pid, reset PID, lock
    std::string err;
};

// The walk as the command line describes it, one argument after the other.
Model walk(const std::vector<std::string>& args) {
    Model m;
    int32_t& vid = m.flags[0];
    int32_t& pid = m.flags[1];
    int32_t& reset = m.flags[2];
    int32_t& lock = m.flags[3];
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!a.empty() && a[0] == '-') {
            const char second = a.size() > 1 ? a[1] : '\0';
            if (second == 'v') {
                vid = 1 - vid;
            } else if (second == 'p') {
                pid = 1 - pid;
                reset = 0;
            } else if (second == 'r') {
                reset = 1 - reset;
                pid = 0;
            } else if (second == 'l') {
                lock = 1 - lock;
            } else {
                const std::string& name = args[0];
                m.end = End::usage;
                m.err = "usage: " + name.substr(name.find_last_of('\\') + 1) + " [options] <serial-file>\n";
                return m;
            }
        } else if (a.empty() || a[0] == '!') {
            m.end = End::cantOpen;
            m.result = -1;
            m.err = "unable to open file '" + a + "'\n";
            return m;
        } else {
            const int32_t value = referenceValue(referenceLine(a.data(), a.size()));
            if (value == 0) {
                m.end = End::zero;
                m.err = "failed: 0 is not a valid serial number!\n";
                return m;
            }
            m.result = value;
        }
    }
    return m;
}

}  // namespace

FILE* openSerialFile(const char* path) {
    if (path[0] == '\0' || path[0] == '!') return nullptr;
    return fmemopen(const_cast<char*>(path), strlen(path), "r");
}

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (insideParseArgs) {
        insideParseArgs = false;
        exitStatus = status;
        longjmp(backFromExit, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    vidFlag = pidFlag = resetPidFlag = lockFlag = 0;
    FILE* const report = stderr;
    char* text = nullptr;
    size_t length = 0;
    stderr = open_memstream(&text, &length);
    if (stderr == nullptr) fail(report, "no memory stream");

    bool returned = false;
    int32_t result = 0;
    if (setjmp(backFromExit) == 0) {
        insideParseArgs = true;
        result = parseArgs(static_cast<int>(args.size()), argv.data());
        insideParseArgs = false;
        returned = true;
    }
    fclose(stderr);
    stderr = report;
    const std::string err(text, length);
    free(text);

    // A file that can't be opened is a return of -1 with its message.
    const Model m = walk(args);
    switch (m.end) {
        case End::returned:
        case End::cantOpen:
            if (!returned) fail(report, "exit where the walk returns");
            if (result != m.result) fail(report, "result");
            if (err != m.err) fail(report, "standard error");
            break;
        case End::usage:
            if (returned || exitStatus != -1) fail(report, "no exit with -1 for the usage screen");
            if (err.compare(0, m.err.size(), m.err) != 0 || !endsWith(err, "   Devices aufgelistet.\n")) {
                fail(report, "usage screen");
            }
            break;
        case End::zero:
            if (returned || exitStatus != -2) fail(report, "no exit with -2 for a zero");
            if (err != m.err) fail(report, "standard error");
            break;
    }
    const int32_t flags[4] = {vidFlag, pidFlag, resetPidFlag, lockFlag};
    for (int i = 0; i < 4; ++i) {
        if (flags[i] != m.flags[i]) fail(report, "flags");
    }
    if (pidFlag != 0 && resetPidFlag != 0) fail(report, "both product-ID flags set");
    return 0;
}
