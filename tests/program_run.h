// Runs the real stelloprog binary against the simulated bridge, one case at a
// time in a fresh folder, and compares what it wrote and did byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct CaseFile {
    std::string name;     // relative to the case's folder; ending in '/' makes a folder
    std::string content;
};

struct ProgramCase {
    std::string name;
    std::string state;    // the simulated bridges as JSON; empty: the built-in bridge
    std::vector<std::string> args;
    std::vector<CaseFile> files;
    std::string out;      // expected standard output, with "\n" line ends
    std::string err;      // expected standard error
    int32_t code;         // expected exit code, the whole 32-bit result
    std::vector<std::string> calls;  // the simulated module's call log; checked when state is set
};

struct ProgramResult {
    std::string out;
    std::string err;
    int32_t code = 0;     // as far as the platform passes it on
    std::vector<std::string> calls;
    std::string state;    // the state file after the run
};

// Runs the case in `folder` (created, and kept for a later run when given).
ProgramResult runProgram(const ProgramCase& c, const std::string& folder = std::string());

// The program the cases run, as its argument vector names it.
std::string programName();

// The exit code as the platform under test passes it on.
int32_t platformExitCode(int32_t code);

// Whether the cases run the Windows program under Wine (STELLOPROG_WINE).
bool underWine();

// Expected output as the platform under test writes it: under Wine each line
// feed goes out as CR LF.
std::string platformText(const std::string& text);

// How the system refuses to start the program without its bridge module: the
// exit code, and a text its message on standard error holds.
struct ModuleMissing {
    int32_t code;
    std::string notice;
};
ModuleMissing moduleMissing();

// A library that makes the program's load of the module by name fail, for LD_PRELOAD.
const char* refuseDlopenLibrary();

// Runs the case and checks output, exit code and calls.
void expectProgram(const ProgramCase& c);

// Lines concatenated, for building call logs.
std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts);

// gtest parameter names: letters, digits and '_' only.
std::string caseName(const testing::TestParamInfo<ProgramCase>& info);

class ProgramRun : public testing::TestWithParam<ProgramCase> {};

inline void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }
