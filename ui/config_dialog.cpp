// The configuration dialog: _configure and the dialog procedure.
#include "ui/config_dialog.h"

#include <winsock2.h>

#include <cstdio>

#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "settings/values/settings.h"
#include "settings/settings_file.h"
#include "tracking/ip_db.h"
#include "tracking/white_list.h"
#include "ui/ip_list.h"
#include "ui/resource.h"

extern "C" int16_t __cdecl _configure(host_interface *record)
{
    if (record == nullptr) return 0;
    // A started daemon has already asked; a stopped one asks again before showing anything.
    if (!daemon_started.load() && !version_check(record)) return 0;
    record->log_text(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "Tollgate config");
    HWND owner = (HWND)(intptr_t)record->parent_window(HOST_PARENT_WINDOW_MAIN);
    // The record travels as the initial value so that the dialog can log while the daemon is
    // stopped and there is no interface copy.
    DialogBoxParamA((HINSTANCE)module_instance, CONFIG_DIALOG_NAME, owner, config_dialog_proc,
                    (LPARAM)record);
    return 1;
}

// The host record _configure received, kept in the dialog's user word.
static const host_interface *config_record(HWND dialog)
{
    return (const host_interface *)GetWindowLongPtrA(dialog, DWLP_USER);
}

// Logs the line of one white-list entry being saved: through the interface copy while the
// daemon is started (the gate keeps shutdown from releasing it meanwhile), else through the
// record the host handed _configure, because there is no copy to use.
static void config_log_entry(HWND dialog, int32_t count, const char *address, int32_t prefix)
{
    static const char format[] = " WL(%d):'%s'/'%d'.";
    if (daemon_enter()) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, format, count, address, prefix);
        daemon_leave();
        return;
    }
    const host_interface *record = config_record(dialog);
    if (record) record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, format, count, address, prefix);
}

// Moves the keyboard focus to the control `id`, the way the dialog manager does for Tab.
static void config_focus(HWND dialog, int32_t id)
{
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dialog, id), TRUE);
}

// Fills the controls from the values in memory.
static void config_init(HWND dialog, LPARAM record)
{
    SetWindowLongPtrA(dialog, DWLP_USER, record);
    ip_list_create(dialog);
    SetDlgItemInt(dialog, IDC_CLEAR_TIME, (UINT)settings.clear_time.load(std::memory_order_relaxed),
                  FALSE);
    SetDlgItemInt(dialog, IDC_AUTH_FAILURES,
                  (UINT)settings.auth_failures.load(std::memory_order_relaxed), FALSE);
    CheckDlgButton(dialog, IDC_SHORT_TERM,
                   settings.use_short_term.load(std::memory_order_relaxed) ? BST_CHECKED
                                                                            : BST_UNCHECKED);
    char text[CONFIG_TEXT_SIZE];
    int32_t count = white_count();
    for (int32_t i = 0; i < count; i++) {
        in_addr address;
        address.s_addr = white_list.address[i].load(std::memory_order_relaxed);
        snprintf(text, sizeof(text), "%s/%u", inet_ntoa(address),
                 (unsigned)mask_to_prefix(white_list.mask[i].load(std::memory_order_relaxed)));
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_ADDSTRING, 0, (LPARAM)text);
    }
}

// Reads the number in field `id` into `value`, clamped to [low, high]. A field that holds no
// number leaves the value alone; the field is read unsigned and the number taken as signed,
// so 2147483648 and above count as negative.
static void config_read_number(HWND dialog, int32_t id, std::atomic<int32_t> &value, int32_t low,
                               int32_t high)
{
    BOOL ok = FALSE;
    UINT number = GetDlgItemInt(dialog, id, &ok, FALSE);
    if (!ok) return;
    int32_t v = (int32_t)number;
    value.store(v < low ? low : v > high ? high : v, std::memory_order_relaxed);
}

// "OK / Save": stores the fields, the check box and the list box in memory, ends the dialog
// and rewrites the settings file.
static void config_save(HWND dialog)
{
    config_read_number(dialog, IDC_CLEAR_TIME, settings.clear_time, CLEAR_TIME_MIN,
                       CLEAR_TIME_MAX);
    config_read_number(dialog, IDC_AUTH_FAILURES, settings.auth_failures, 1, AUTH_FAILURES_MAX);
    settings.use_short_term.store(IsDlgButtonChecked(dialog, IDC_SHORT_TERM) == BST_CHECKED,
                                  std::memory_order_relaxed);

    // Emptied and refilled entry by entry: a POP3 thread testing an address meanwhile sees the
    // entries added so far, each complete.
    int32_t count = (int32_t)SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETCOUNT, 0, 0);
    white_clear();
    char text[CONFIG_TEXT_SIZE];
    for (int32_t i = 0; i < count; i++) {
        LRESULT length = SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXTLEN, i, 0);
        if (length < 0 || length >= CONFIG_TEXT_SIZE) continue;
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXT, i, (LPARAM)text);
        int32_t prefix = white_split_entry(text, CONFIG_NO_PREFIX_NUMBER);
        config_log_entry(dialog, count, text, prefix);
        white_add(text, prefix); // a refused entry is dropped; its line above is the trace
    }
    EndDialog(dialog, 1);
    save_settings();
}

// "Remove": the selected entry goes back into the entry field, ready to be corrected.
static void config_remove(HWND dialog)
{
    LRESULT index = SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) return;
    LRESULT length = SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXTLEN, index, 0);
    if (length >= 0 && length < CONFIG_TEXT_SIZE) {
        char text[CONFIG_TEXT_SIZE];
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXT, index, (LPARAM)text);
        if (text[0]) SetDlgItemTextA(dialog, IDC_WHITE_ENTRY, text);
    }
    SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_DELETESTRING, index, 0);
}

// "Add": the entry field's text goes to the end of the list box, unchecked until the save.
static void config_add(HWND dialog)
{
    char text[CONFIG_TEXT_SIZE];
    text[0] = '\0';
    GetDlgItemTextA(dialog, IDC_WHITE_ENTRY, text, sizeof(text));
    if (text[0]) SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_ADDSTRING, 0, (LPARAM)text);
    SetDlgItemTextA(dialog, IDC_WHITE_ENTRY, "");
    config_focus(dialog, IDC_WHITE_ENTRY);
}

// "Clear All": empties the table now (no Cancel undoes it) and shows the empty list. Counted in
// the gate, so that no start-up or shutdown on another thread gives the table back under it.
static void config_clear_all()
{
    event_gate_enter();
    db_clear(db_current());
    daemon_leave();
    ip_list_refresh();
}

// Command 1: Enter in an edit field moves on (or adds the entry); anything else saves. A
// clicked push button holds the focus, so a click on "OK / Save" always saves.
static void config_ok(HWND dialog)
{
    HWND focus = GetFocus();
    int32_t id = focus ? GetDlgCtrlID(focus) : 0;
    if (focus && GetParent(focus) != dialog) id = 0; // not one of our controls
    switch (id) {
    case IDC_CLEAR_TIME: config_focus(dialog, IDC_AUTH_FAILURES); return;
    case IDC_AUTH_FAILURES: config_focus(dialog, IDC_SHORT_TERM); return;
    case IDC_WHITE_ENTRY: SendMessageA(dialog, WM_COMMAND, IDC_ADD, 0); return;
    default: config_save(dialog); return;
    }
}

INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        config_init(dialog, lparam);
        return 1; // the dialog manager focuses the first tab stop, "Cancel / Close"
    }
    if (message == WM_NOTIFY) return ip_list_notify((const NMHDR *)lparam) ? 1 : 0;
    if (message == WM_DESTROY) {
        ip_list_close();
        return 0;
    }
    if (message != WM_COMMAND) return 0;
    // The whole word: only notification code 0 (clicks, Enter, Esc, the close box) counts.
    switch (wparam) {
    case IDOK: config_ok(dialog); return 1;
    case IDCANCEL: EndDialog(dialog, 1); return 1;
    case IDC_CLEAR_ALL: config_clear_all(); return 1;
    case IDC_REMOVE: config_remove(dialog); return 1;
    case IDC_ADD: config_add(dialog); return 1;
    case IDC_REFRESH: ip_list_refresh(); return 1;
    default: return 0;
    }
}
