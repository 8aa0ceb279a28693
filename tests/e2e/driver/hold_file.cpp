// hold_file.exe MS PATH...: opens every PATH for reading with no write sharing, as a
// spreadsheet program holds a file it shows, so that nobody else may write them; prints
// "held" once they are open, lets go after MS milliseconds and prints "released".
// Exit codes: 0 done, 1 a file could not be opened, 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hold_file MS PATH...\n");
        return 2;
    }
    const DWORD ms = DWORD(std::wcstoul(argv[1], nullptr, 10));
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        const HANDLE h = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "hold_file: cannot open %ls: error %lu\n", argv[i], GetLastError());
            return 1;
        }
        held.push_back(h);
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    for (HANDLE h : held) CloseHandle(h);
    std::printf("released\n");
    std::fflush(stdout);
    return 0;
}
