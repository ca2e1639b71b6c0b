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

}  // namespace

const char* refuseDlopenLibrary() {
    return REFUSE_DLOPEN;
}

std::string programName() {
    return setting("STELLOPROG_BIN", STELLOPROG_DEFAULT_BIN);
}

int32_t platformExitCode(int32_t code) {
    // Linux keeps the low eight bits; the program turns a failure whose low
    // bits are 0 into 255.
    return (code != 0 && (code & 0xFF) == 0) ? 255 : (code & 0xFF);
}

ProgramResult runProgram(const ProgramCase& c, const std::string& folder) {
    ProgramResult result;
    const std::string binary = setting("STELLOPROG_BIN", STELLOPROG_DEFAULT_BIN);
    const std::string moduleDir = setting("STELLOPROG_MODULE_DIR", STELLOPROG_DEFAULT_MODULE_DIR);

    fs::path dir = folder;
    if (dir.empty()) {
        char pattern[] = "/tmp/stelloprog-case-XXXXXX";
        dir = mkdtemp(pattern);
    }
    fs::create_directories(dir);
    for (const CaseFile& f : c.files) {
        if (!f.name.empty() && f.name.back() == '/') {
            fs::create_directories(dir / f.name);
        } else {
            writeFile(dir / f.name, f.content);
        }
    }
    const fs::path stateFile = dir / "state.json";
    if (!c.state.empty()) writeFile(stateFile, c.state);

    std::vector<std::string> args = {binary};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<std::string> env = caseEnvironment(moduleDir, c.state.empty() ? "" : stateFile.string());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(&e[0]);
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
    EXPECT_EQ(r.out, c.out) << "standard output";
    EXPECT_EQ(r.err, c.err) << "standard error";
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
