// answer_box CAPTION SECONDS
// Waits up to SECONDS for a message box captioned CAPTION in any process on this desktop, prints
// its text on stdout, and answers it with OK. The installer test uses it to read what msiexec
// tells the user. Exit status: 0 when a box was answered, 1 when none came, 2 for bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: answer_box CAPTION SECONDS\n");
        return 2;
    }
    const DWORD limit = static_cast<DWORD>(std::atoi(argv[2])) * 1000;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limit) {
        const HWND box = FindWindowA("#32770", argv[1]);
        if (box != nullptr && IsWindowVisible(box)) {
            char text[1024] = "";
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // a message box's static text
            std::printf("%s\n", text);
            std::fflush(stdout);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "answer_box: no box \"%s\" within %s seconds\n", argv[1], argv[2]);
    return 1;
}
