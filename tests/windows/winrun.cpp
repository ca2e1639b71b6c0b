// winrun CODE-FILE PROGRAM ARGV0 [ARGUMENT...]: starts PROGRAM with ARGV0 and
// the arguments as its argument vector and this process's standard handles,
// waits for it and writes its whole 32-bit exit code to CODE-FILE as eight
// hex digits. Wine hands a Linux parent only the low eight bits of an exit
// code; this is how the tests read all 32.
#include <windows.h>

#include <cstdio>
#include <string>

// Our own arguments arrive as they were given, patterns included.
extern "C" {
int _dowildcard = 0;
}

namespace {

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t ch : arg) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a quote.
        out.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += ch;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fputs("usage: winrun CODE-FILE PROGRAM ARGV0 [ARGUMENT...]\n", stderr);
        return 125;
    }
    std::wstring commandLine = quoted(argv[3]);
    for (int i = 4; i < argc; ++i) commandLine += L" " + quoted(argv[i]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[2], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fprintf(stderr, "winrun: cannot start the program (error %lu)\n", GetLastError());
        return 126;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!known) {
        fprintf(stderr, "winrun: no exit code (error %lu)\n", GetLastError());
        return 124;
    }

    FILE* record = _wfopen(argv[1], L"w");
    if (record == nullptr || fprintf(record, "%08lX\n", code) < 0 || fclose(record) != 0) {
        fprintf(stderr, "winrun: cannot write the exit code\n");
        return 124;
    }
    return static_cast<int>(code);
}
