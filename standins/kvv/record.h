// Appends one line to the stand-ins' record of calls: the file named by the environment variable
// KV_STANDIN_RECORD, else "registered.txt" beside `module`'s file.
#pragma once

#include <windows.h>

namespace kv::standin {

void Record(HMODULE module, const char* line);

}  // namespace kv::standin
