#include "standins/kvv/record.h"

#include <cstring>
#include <string>

namespace kv::standin {

void Record(HMODULE module, const char* line) {
    char path[MAX_PATH * 4] = {};
    DWORD n = GetEnvironmentVariableA("KV_STANDIN_RECORD", path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        n = GetModuleFileNameA(module, path, MAX_PATH * 2);
        char* slash = std::strrchr(path, '\\');
        if (n == 0 || !slash) return;
        std::strcpy(slash + 1, "registered.txt");
    }
    // Several stand-ins may record at once: the append is retried while another holds the file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            std::string text = std::string(line) + "\r\n";
            DWORD written = 0;
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(20);
    }
}

}  // namespace kv::standin
