// zksrv_standin.exe: installed as zksrv.exe in a monitor's working directory by the
// end-to-end tests. It listens on nothing: when its current directory holds zksrv-exit.txt
// it ends after half a second with the number written there, else it runs until killed.
#include <windows.h>

#include <cstdio>

int main() {
    std::FILE* f = std::fopen("zksrv-exit.txt", "r");
    if (!f) {
        for (;;) Sleep(60000);
    }
    int code = 0;
    if (std::fscanf(f, "%d", &code) != 1) code = 0;
    std::fclose(f);
    Sleep(500);
    return code;
}
