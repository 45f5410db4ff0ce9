// Test frame for the configuration dialog: the driver thread and its helpers.
#include "tests/ui/dialog_driver.h"

#include <commctrl.h>

#include <algorithm>
#include <thread>

#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "host/base/os.h"
#include "mailhost/host_side.h"
#include "settings/values/settings_table.h"
#include "tracking/ip_db.h"
#include "tracking/white_list.h"
#include "ui/resource.h"

enum : DWORD {
    DRIVER_WAIT_MS = 10000, // longest wait for a window to appear
    DRIVER_POLL_MS = 10,
};

std::atomic<int32_t> test_now{1700000000};
static int32_t test_clock() { return test_now.load(); }

static std::mutex box_lock;
static std::vector<box_call> box_log;
static std::atomic<int> box_answer;

static int WINAPI test_message_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    {
        std::lock_guard<std::mutex> hold(box_lock);
        box_log.push_back({owner, text ? text : "", caption != nullptr, type});
    }
    int answer = box_answer.load();
    return answer ? answer : MessageBoxA(owner, text, caption, type);
}

std::vector<box_call> box_calls()
{
    std::lock_guard<std::mutex> hold(box_lock);
    return box_log;
}
void box_set_answer(int answer) { box_answer.store(answer); }

// EnumThreadWindows' search: the first window that `match` accepts.
struct window_search {
    const std::function<bool(HWND)> *match;
    HWND found;
};
static BOOL CALLBACK window_search_step(HWND window, LPARAM data)
{
    window_search *search = (window_search *)data;
    if (!(*search->match)(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// The first top-level window of `thread` that `match` accepts, waiting up to DRIVER_WAIT_MS
// or until `stop` is set.
static HWND wait_for_window(DWORD thread, const std::function<bool(HWND)> &match,
                            const std::atomic<bool> &stop)
{
    window_search search{&match, nullptr};
    for (DWORD waited = 0; waited < DRIVER_WAIT_MS && !stop.load(); waited += DRIVER_POLL_MS) {
        EnumThreadWindows(thread, window_search_step, (LPARAM)&search);
        if (search.found) return search.found;
        Sleep(DRIVER_POLL_MS);
    }
    return nullptr;
}

static bool is_config_dialog(HWND window)
{
    char title[64] = "", name[16] = "";
    GetWindowTextA(window, title, sizeof(title));
    GetClassNameA(window, name, sizeof(name));
    return strcmp(name, "#32770") == 0 && strcmp(title, " Tollgate Options") == 0 &&
           IsWindowVisible(window);
}

// EnumChildWindows' search for the missing-class box's text.
static BOOL CALLBACK box_text_step(HWND child, LPARAM data)
{
    char text[64] = "";
    GetWindowTextA(child, text, sizeof(text));
    if (strcmp(text, "Unable to create IP list window") != 0) return TRUE;
    *(bool *)data = true;
    return FALSE;
}

static bool is_missing_class_box(HWND window)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof(name));
    if (strcmp(name, "#32770") != 0 || is_config_dialog(window)) return false;
    bool found = false;
    EnumChildWindows(window, box_text_step, (LPARAM)&found);
    return found;
}

static BOOL CALLBACK close_step(HWND window, LPARAM)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof(name));
    if (strcmp(name, "#32770") == 0) PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
    if (strcmp(name, "#32770") == 0) PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// A run gone wrong (no dialog came, or a box nobody expected holds the thread): dismisses
// every dialog window of `thread` until _configure has returned, so that the test fails
// instead of hanging.
static void unblock(DWORD thread, const std::atomic<bool> &ended)
{
    for (DWORD waited = 0; waited < DRIVER_WAIT_MS && !ended.load(); waited += DRIVER_POLL_MS) {
        EnumThreadWindows(thread, close_step, 0);
        Sleep(DRIVER_POLL_MS * 10);
    }
}

static int16_t dialog_run_with(host_interface *record, bool expect_box,
                               const std::function<void(HWND)> &drive, bool *shown,
                               bool *box_seen)
{
    std::atomic<bool> ended{false};
    DWORD thread = GetCurrentThreadId();
    bool appeared = false, boxed = false;
    std::thread driver([&] {
        if (expect_box) {
            HWND box = wait_for_window(thread, is_missing_class_box, ended);
            boxed = box != nullptr;
            if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        HWND dialog = wait_for_window(thread, is_config_dialog, ended);
        appeared = dialog != nullptr;
        if (!dialog) {
            unblock(thread, ended);
            return;
        }
        drive(dialog);
        if (IsWindow(dialog)) SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    int16_t result = _configure(record);
    ended.store(true);
    driver.join();
    if (shown) *shown = appeared;
    if (box_seen) *box_seen = boxed;
    return result;
}

int16_t dialog_run(host_interface *record, const std::function<void(HWND)> &drive, bool *shown)
{
    return dialog_run_with(record, false, drive, shown, nullptr);
}

int16_t dialog_run_after_box(host_interface *record, const std::function<void(HWND)> &drive,
                             bool *box_seen)
{
    return dialog_run_with(record, true, drive, nullptr, box_seen);
}

std::string dlg_text(HWND dialog, int id)
{
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof(text));
    return text;
}

void dlg_set_text(HWND dialog, int id, const char *text) { SetDlgItemTextA(dialog, id, text); }

void dlg_click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

int dlg_focus_id(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) || !info.hwndFocus)
        return -1;
    return GetDlgCtrlID(info.hwndFocus);
}

void dlg_enter_in(HWND dialog, int id)
{
    // The focus moves on the dialog's own thread; then the command the dialog manager sends
    // for Enter: the default button's id with notification 0.
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dialog, id), TRUE);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
}

void dlg_add_entry(HWND dialog, const char *text)
{
    dlg_set_text(dialog, IDC_WHITE_ENTRY, text);
    dlg_click(dialog, IDC_ADD);
}

std::vector<std::string> dlg_list_box(HWND dialog)
{
    std::vector<std::string> entries;
    LRESULT count = SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        char text[256] = "";
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXT, i, (LPARAM)text);
        entries.push_back(text);
    }
    return entries;
}

bool dlg_is_open(HWND dialog) { return IsWindow(dialog) && IsWindowVisible(dialog); }

bool dlg_wait_closed(HWND dialog)
{
    for (DWORD waited = 0; waited < DRIVER_WAIT_MS; waited += DRIVER_POLL_MS) {
        if (!dlg_is_open(dialog)) return true;
        Sleep(DRIVER_POLL_MS);
    }
    return false;
}

std::vector<std::vector<std::string>> list_view_rows(HWND list)
{
    std::vector<std::vector<std::string>> rows;
    LRESULT count = SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    HWND header = (HWND)SendMessageA(list, LVM_GETHEADER, 0, 0);
    int columns = (int)SendMessageA(header, HDM_GETITEMCOUNT, 0, 0);
    for (LRESULT r = 0; r < count; r++) {
        std::vector<std::string> row;
        for (int column = 0; column < columns; column++) {
            char text[64] = "";
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = sizeof(text);
            SendMessageA(list, LVM_GETITEMTEXTA, r, (LPARAM)&item);
            row.push_back(text);
        }
        rows.push_back(row);
    }
    return rows;
}

void list_view_select(HWND list, const std::vector<std::string> &addresses)
{
    std::vector<std::vector<std::string>> rows = list_view_rows(list);
    for (size_t r = 0; r < rows.size(); r++) {
        bool chosen = std::find(addresses.begin(), addresses.end(), rows[r][0]) != addresses.end();
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED;
        item.state = chosen ? LVIS_SELECTED : 0;
        SendMessageA(list, LVM_SETITEMSTATE, r, (LPARAM)&item);
    }
}

static bool is_open_menu(HWND window)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof(name));
    return strcmp(name, "#32768") == 0 && IsWindowVisible(window);
}

std::vector<std::string> list_menu_choose(HWND dialog, HWND list, int position)
{
    RECT r;
    GetWindowRect(list, &r);
    // Posted: the menu's own loop runs inside the dialog's handling of the message.
    PostMessageA(dialog, WM_CONTEXTMENU, (WPARAM)list, MAKELPARAM(r.left + 20, r.top + 40));
    std::atomic<bool> never{false};
    HWND menu = wait_for_window(GetWindowThreadProcessId(dialog, nullptr), is_open_menu, never);
    std::vector<std::string> items;
    if (!menu) return items;
    HMENU handle = (HMENU)SendMessageA(menu, MN_GETHMENU, 0, 0);
    for (int i = 0; i < GetMenuItemCount(handle); i++) {
        char text[64] = "";
        GetMenuStringA(handle, i, text, sizeof(text), MF_BYPOSITION);
        items.push_back(text);
    }
    for (int i = 0; i <= position; i++) PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    dlg_wait_for([&] { return !IsWindowVisible(menu); });
    return items;
}

bool dlg_wait_for(const std::function<bool()> &done)
{
    for (DWORD waited = 0; waited < DRIVER_WAIT_MS; waited += DRIVER_POLL_MS) {
        if (done()) return true;
        Sleep(DRIVER_POLL_MS);
    }
    return done();
}

void DialogFixture::SetUp()
{
    ASSERT_TRUE(workdir_.ok());

    host_side_reset();
    settings_reset();
    module_instance = GetModuleHandleA(nullptr); // the template is linked into this program
    db_clock = test_clock;
    os.message_box = test_message_box;
    box_set_answer(0);
}

void DialogFixture::load_common_controls()
{
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    ASSERT_NE(comctl, nullptr);
    auto init = (BOOL(WINAPI *)(const INITCOMMONCONTROLSEX *))GetProcAddress(
        comctl, "InitCommonControlsEx");
    ASSERT_NE(init, nullptr);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    ASSERT_TRUE(init(&controls));
}

void DialogFixture::play_started()
{
    host_copy = host_side_record();
    white_clear();
    db_clear(db_current());
    daemon_started.store(1);
}

host_interface *DialogFixture::record() { return host_side_record(); }

std::string DialogFixture::ini_path()
{
    char dir[MAX_PATH];
    GetCurrentDirectoryA(sizeof(dir), dir);
    return std::string(dir) + "\\Tollgate.ini";
}

bool DialogFixture::ini_exists()
{
    return GetFileAttributesA(ini_path().c_str()) != INVALID_FILE_ATTRIBUTES;
}

int DialogFixture::ini_int(const char *section, const char *key)
{
    return (int)GetPrivateProfileIntA(section, key, -999, ini_path().c_str());
}

std::string DialogFixture::ini_text(const char *section, const char *key)
{
    char text[256];
    GetPrivateProfileStringA(section, key, "<missing>", text, sizeof(text), ini_path().c_str());
    return text;
}

std::vector<std::string> DialogFixture::log_starting(const std::string &prefix)
{
    std::vector<std::string> lines;
    for (const host_log_line &line : host_side_log())
        if (line.text.rfind(prefix, 0) == 0)
            lines.push_back(std::to_string(line.type) + "/" + std::to_string(line.priority) + " " +
                            line.text);
    return lines;
}
