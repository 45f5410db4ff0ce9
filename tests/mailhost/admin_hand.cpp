// The administrator's hand on a running host's configuration dialog, for the end-to-end tests:
// finds the dialog " Tollgate Options" that another process shows, refreshes its list, selects
// the first or the last row with the keyboard, and chooses "Refuse now" or "Forget" from the
// list's menu; or closes the dialog. Only messages that carry no pointer cross the processes.
// Usage: admin_hand refuse|forget first|last, or admin_hand close. Exit 0 when done.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "ui/resource.h"

int main(int argc, char **argv)
{
    HWND dialog = nullptr;
    for (int waited = 0; dialog == nullptr && waited < 20000; waited += 50) {
        dialog = FindWindowA("#32770", " Tollgate Options");
        if (dialog == nullptr) Sleep(50);
    }
    HWND list = dialog ? FindWindowExA(dialog, nullptr, WC_LISTVIEWA, nullptr) : nullptr;
    if (argc < 2 || list == nullptr) return 1;
    if (strcmp(argv[1], "close") == 0) {
        SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return 0;
    }
    if (argc < 3) return 1;
    SendMessageA(dialog, WM_COMMAND, IDC_REFRESH, 0);
    // Home or End moves the focus and selects that row; Space selects the focused row when
    // the focus was there already.
    WPARAM key = strcmp(argv[2], "last") == 0 ? VK_END : VK_HOME;
    SendMessageA(list, WM_KEYDOWN, key, 0);
    SendMessageA(list, WM_KEYDOWN, VK_SPACE, 0);
    WPARAM command = strcmp(argv[1], "refuse") == 0 ? IDM_REFUSE : IDM_FORGET;
    SendMessageA(dialog, WM_COMMAND, command, 0);
    return 0;
}
