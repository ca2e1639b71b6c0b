#include "program_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// This process's environment without what the case sets itself.
std::vector<std::string> caseEnvironment(const std::string& moduleDir, const std::string& stateFile) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "CP210X_SIM_STATE=", 17) == 0 || strncmp(*e, "LD_LIBRARY_PATH=", 16) == 0) {
            continue;
        }
        env.push_back(*e);
    }
    env.push_back("LD_LIBRARY_PATH=" + moduleDir);
    if (!stateFile.empty()) env.push_back("CP210X_SIM_STATE=" + stateFile);
    return env;
}

// --- Wine mode ---------------------------------------------------------------
// With STELLOPROG_WINE naming Wine's loader, the cases run the Windows program
// (STELLOPROG_BIN, an .exe) under Wine instead: through the runner
// STELLOPROG_WINE_RUNNER, which reads the whole 32-bit exit code, with the
// DLL from STELLOPROG_MODULE_DIR copied beside the program.

std::string wineLoader() {
    return setting("STELLOPROG_WINE", "");
}

// Wine's drive Z: is the root of the Linux file system.
std::string windowsPath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char& ch : text) {
        if (ch == '/') ch = '\\';
    }
    return text;
}

// Windows-1252 bytes as UTF-8, which Wine turns back into those bytes for
// the program: arguments and file names reach it as the case gives them.
std::string utf8FromWindows1252(const std::string& bytes) {
    // 0x80 to 0x9F; the five bytes Windows-1252 leaves unassigned map to the
    // control characters of the same number, as Windows maps them.
    static const uint16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string text;
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const unsigned code = c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c;
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

// A file name of the case as the Linux side must write it.
std::string hostName(const std::string& name) {
    return wineLoader().empty() ? name : utf8FromWindows1252(name);
}

// What a case runs: the program, or Wine with the runner and the program.
struct Launch {
    std::vector<std::string> args;
    std::vector<std::string> env;
};

Launch nativeLaunch(const ProgramCase& c, const std::string& stateFile) {
    Launch launch;
    launch.args = {setting("STELLOPROG_BIN", STELLOPROG_DEFAULT_BIN)};
    launch.args.insert(launch.args.end(), c.args.begin(), c.args.end());
    launch.env = caseEnvironment(setting("STELLOPROG_MODULE_DIR", STELLOPROG_DEFAULT_MODULE_DIR), stateFile);
    return launch;
}

// The program and its DLL go into a folder of the case, as a user puts them
// side by side; without a DLL in STELLOPROG_MODULE_DIR the program is alone.
Launch wineLaunch(const ProgramCase& c, const fs::path& dir, const std::string& stateFile,
                  const fs::path& codeFile) {
    const fs::path binary = setting("STELLOPROG_BIN", "");
    const fs::path module = fs::path(setting("STELLOPROG_MODULE_DIR", "")) / "CP210xManufacturing.dll";
    const fs::path folder = dir / ".program";
    fs::create_directories(folder);
    fs::copy_file(binary, folder / binary.filename(), fs::copy_options::overwrite_existing);
    if (fs::exists(module)) {
        fs::copy_file(module, folder / module.filename(), fs::copy_options::overwrite_existing);
    } else {
        fs::remove(folder / module.filename());
    }

    Launch launch;
    launch.args = {wineLoader(), setting("STELLOPROG_WINE_RUNNER", ""), windowsPath(codeFile),
                   windowsPath(folder / binary.filename()), programName()};
    for (const std::string& a : c.args) launch.args.push_back(utf8FromWindows1252(a));
    for (char** e = environ; *e != nullptr; ++e) {
        static const char* const replaced[] = {"CP210X_SIM_STATE=", "WINEDEBUG=", "LC_ALL="};
        bool keep = true;
        for (const char* r : replaced) keep = keep && strncmp(*e, r, strlen(r)) != 0;
        if (keep) launch.env.push_back(*e);
    }
    // Wine's own notes would mix with the program's standard error; a UTF-8
    // locale makes it read the arguments as UTF-8.
    launch.env.push_back("WINEDEBUG=-all");
    launch.env.push_back("LC_ALL=C.UTF-8");
    if (!stateFile.empty()) launch.env.push_back("CP210X_SIM_STATE=" + windowsPath(stateFile));
    return launch;
}

// The runner's record of the exit code, eight hex digits; without one the
// code says how Wine or the runner failed.
int32_t recordedExitCode(const fs::path& codeFile, int status) {
    const std::string text = readFile(codeFile);
    char* end = nullptr;
    const unsigned long code = strtoul(text.c_str(), &end, 16);
    if (text.empty() || end == text.c_str()) {
        ADD_FAILURE() << "the runner recorded no exit code; wine ended with status " << status;
        return 2000 + status;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(code));
}

}  // namespace

bool underWine() {
    return !wineLoader().empty();
}

std::string platformText(const std::string& text) {
    if (!underWine()) return text;
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return crlf;
}

ModuleMissing moduleMissing() {
    // Linux: the dynamic loader names the soname and exits with 127.
    // Windows: the process ends with STATUS_DLL_NOT_FOUND; Wine's note on it
    // is among those the cases switch off.
    if (underWine()) return {static_cast<int32_t>(0xC0000135u), ""};
    return {127, "libcp210xmanufacturing.so.1"};
}

const char* refuseDlopenLibrary() {
    return REFUSE_DLOPEN;
}

std::string programName() {
    if (underWine()) return windowsPath(setting("STELLOPROG_BIN", ""));
    return setting("STELLOPROG_BIN", STELLOPROG_DEFAULT_BIN);
}

int32_t platformExitCode(int32_t code) {
    // Windows passes on the whole 32-bit result.
    if (underWine()) return code;
    // Linux keeps the low eight bits; the program turns a failure whose low
    // bits are 0 into 255.
    return (code != 0 && (code & 0xFF) == 0) ? 255 : (code & 0xFF);
}

ProgramResult runProgram(const ProgramCase& c, const std::string& folder) {
    ProgramResult result;

    fs::path dir = folder;
    if (dir.empty()) {
        char pattern[] = "/tmp/stelloprog-case-XXXXXX";
        dir = mkdtemp(pattern);
    }
    fs::create_directories(dir);
    for (const CaseFile& f : c.files) {
        if (!f.name.empty() && f.name.back() == '/') {
            fs::create_directories(dir / hostName(f.name));
        } else {
            writeFile(dir / hostName(f.name), f.content);
        }
    }
    const fs::path stateFile = dir / "state.json";
    if (!c.state.empty()) writeFile(stateFile, c.state);
    const std::string stateSetting = c.state.empty() ? "" : stateFile.string();

    const fs::path codeFile = dir / ".exitcode";
    fs::remove(codeFile);
    Launch launch = underWine() ? wineLaunch(c, dir, stateSetting, codeFile) : nativeLaunch(c, stateSetting);
    std::vector<char*> argv, envp;
    for (std::string& a : launch.args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : launch.env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const fs::path outFile = dir / ".stdout", errFile = dir / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.c_str()) != 0) _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(126);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    if (underWine()) result.code = recordedExitCode(codeFile, status);
    result.out = readFile(outFile);
    result.err = readFile(errFile);
    if (!c.state.empty()) {
        result.state = readFile(stateFile);
        try {
            const auto doc = nlohmann::json::parse(result.state);
            if (doc.contains("calls")) result.calls = doc["calls"].get<std::vector<std::string>>();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "state after the run is no JSON: " << e.what() << "\n" << result.state;
        }
    }
    if (folder.empty()) fs::remove_all(dir);
    return result;
}

void expectProgram(const ProgramCase& c) {
    const ProgramResult r = runProgram(c);
    EXPECT_EQ(r.out, platformText(c.out)) << "standard output";
    EXPECT_EQ(r.err, platformText(c.err)) << "standard error";
    EXPECT_EQ(r.code, platformExitCode(c.code)) << "exit code";
    if (!c.state.empty()) {
        EXPECT_EQ(r.calls, c.calls) << "calls";
    }
}

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string caseName(const testing::TestParamInfo<ProgramCase>& info) {
    std::string name;
    for (char ch : info.param.name) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}
