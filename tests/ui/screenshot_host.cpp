// Holds the configuration dialog open, with a few held addresses and white-list entries and the
// address list's context menu open over two selected rows, while scripts/screenshot.sh
// photographs the display. Writes the dialog's screen rectangle to
// "dialog.rect" once it is shown, then waits (at most a minute) for "dialog.done" and closes it.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <thread>

#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "mailhost/host_side.h"
#include "settings/values/settings.h"
#include "tests/support/table_text.h"
#include "tracking/ip_db.h"
#include "tracking/white_list.h"

static const int32_t shot_now = 1700000000;
static int32_t shot_clock_value = shot_now;
static int32_t shot_clock() { return shot_clock_value; }

// Connections from `address`, the last one `seconds_ago` before the picture's now.
static void shot_connect(const char *address, int times, int32_t seconds_ago)
{
    shot_clock_value = shot_now - seconds_ago;
    for (int i = 0; i < times; i++) connect_text(address);
    shot_clock_value = shot_now;
}

static HWND shot_find_dialog()
{
    for (int i = 0; i < 1000; i++) {
        HWND dialog = FindWindowA("#32770", " Tollgate Options");
        if (dialog && IsWindowVisible(dialog)) return dialog;
        Sleep(10);
    }
    return nullptr;
}

int main()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    host_side_reset();
    module_instance = GetModuleHandleA(nullptr);
    db_clock = shot_clock;
    host_copy = host_side_record();
    daemon_started.store(1);

    white_add("127.0.0.1", 32);
    white_add("192.168.1.0", 24);
    white_publish();
    settings.use_short_term = 1;
    shot_connect("203.0.113.7", 6, 125);
    shot_connect("198.51.100.23", 2, 40);
    shot_connect("203.0.113.99", 4, 610);
    shot_connect("192.0.2.15", 1, 3);

    std::thread driver([] {
        HWND dialog = shot_find_dialog();
        if (!dialog) return;
        SetWindowPos(dialog, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
        UpdateWindow(dialog);
        Sleep(500);
        RECT r;
        GetWindowRect(dialog, &r);
        // Two rows selected and the list's context menu opened over them, as a right-click
        // leaves it; the picture takes in the menu wherever it lies.
        HWND list = FindWindowExA(dialog, nullptr, "SysListView32", nullptr);
        HWND menu = nullptr;
        if (list) {
            SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)list, TRUE); // as the click gives it
            for (int row : {0, 1}) {
                LVITEMA item{};
                item.stateMask = item.state = LVIS_SELECTED;
                SendMessageA(list, LVM_SETITEMSTATE, row, (LPARAM)&item);
            }
            RECT row_rect{};
            row_rect.left = LVIR_BOUNDS;
            SendMessageA(list, LVM_GETITEMRECT, 1, (LPARAM)&row_rect);
            POINT at{row_rect.left + 60, (row_rect.top + row_rect.bottom) / 2};
            ClientToScreen(list, &at);
            PostMessageA(dialog, WM_CONTEXTMENU, (WPARAM)list, MAKELPARAM(at.x, at.y));
            for (int i = 0; i < 300; i++, Sleep(10))
                if ((menu = FindWindowA("#32768", nullptr)) && IsWindowVisible(menu)) break;
            Sleep(500);
            RECT m;
            if (menu && GetWindowRect(menu, &m)) UnionRect(&r, &r, &m);
        }
        FILE *f = fopen("dialog.rect", "w");
        if (f) {
            fprintf(f, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
            fclose(f);
        }
        for (int i = 0; i < 600 && GetFileAttributesA("dialog.done") == INVALID_FILE_ATTRIBUTES;
             i++)
            Sleep(100);
        if (menu) PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        Sleep(200);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    _configure(host_side_record());
    driver.join();
    return 0;
}
