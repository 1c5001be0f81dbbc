// A program for the launch tests: it writes its process id and its command line, exactly as it
// received it, to the file named by KV_PROBE_OUT, then stays for /sleep:<ms> if that is given.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
    const char* line = GetCommandLineA();
    char out[MAX_PATH] = {};
    if (GetEnvironmentVariableA("KV_PROBE_OUT", out, MAX_PATH) - 1u < MAX_PATH - 1u) {
        if (FILE* f = std::fopen(out, "wb")) {
            std::fprintf(f, "%lu\n%s", GetCurrentProcessId(), line);
            std::fclose(f);
        }
    }
    if (const char* sleep = std::strstr(line, "/sleep:")) Sleep(static_cast<DWORD>(std::atol(sleep + 7)));
    return 0;
}
