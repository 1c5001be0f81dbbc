// kvcallexport <dll> <export>: calls one argument-less export of SetupAids.dll in a process that
// has loaded nothing else, and exits with its answer (or 255 when it cannot). A version check
// run this way reads the files themselves rather than a copy of the DLL already loaded.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) return 255;
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) return 255;
    using Check = int(__cdecl*)();
    auto check = reinterpret_cast<Check>(reinterpret_cast<void*>(GetProcAddress(dll, argv[2])));
    return check ? check() : 255;
}
