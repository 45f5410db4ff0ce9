// The configuration dialog: _configure and the dialog procedure.
#include "ui/config_dialog.h"

#include <winsock2.h>

#include <cstdio>

#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "host/base/number.h"
#include "host/base/os.h"
#include "host/base/ip_address.h"
#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "settings/settings_file.h"
#include "tracking/events/event_gate.h"
#include "tracking/decision.h"
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

// Logs one line of the dialog: through the interface copy while the daemon is started (the
// gate keeps shutdown from releasing it meanwhile), else through the record the host handed
// _configure, because there is no copy to use.
template <typename... Values>
static void config_log(HWND dialog, int32_t priority, const char *format, Values... values)
{
    if (daemon_enter()) {
        host_log_format(LOG_TYPE_GENERAL, priority, format, values...);
        daemon_leave();
        return;
    }
    const host_interface *record = config_record(dialog);
    if (record) record->log_format(LOG_TYPE_GENERAL, priority, format, values...);
}

// Logs the line of one white-list entry being saved.
static void config_log_entry(HWND dialog, int32_t count, const char *address, int32_t prefix)
{
    config_log(dialog, LOG_PRIO_DETAIL, " WL(%d):'%s'/'%d'.", count, address, prefix);
}

// A save that did not reach the file: one error in the log and a message box owned by the
// dialog, both naming the file. The values stay in force for this run.
static void config_report_save_failure(HWND dialog)
{
    static const char format[] =
        "Tollgate: unable to save the settings to '%s', they stay in force until the next start";
    config_log(dialog, LOG_PRIO_ERROR, format, (const char *)settings_path);
    char text[(int)CONFIG_TEXT_SIZE + (int)SETTINGS_PATH_SIZE];
    snprintf(text, sizeof(text),
             "The settings could not be saved to\n%s\n\nThey stay in force until the mail "
             "server stops.",
             settings_path);
    os.message_box(dialog, text, "Tollgate", MB_OK | MB_ICONERROR);
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
    int32_t count = white_count();
    for (int32_t i = 0; i < count; i++) {
        uint32_t address, mask;
        white_entry(i, &address, &mask);
        char text[IP_ENTRY_TEXT_SIZE];
        ip_format_entry(address, mask_to_prefix(mask), text);
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_ADDSTRING, 0, (LPARAM)text);
    }
}

// Reads the number in field `id` into the value of `key`, clamped to the key's dialog bounds. A
// field that holds no number leaves the value alone; the field is read unsigned and the number
// taken as signed, so 2147483648 and above count as negative.
static void config_read_number(HWND dialog, int32_t id, settings_key key)
{
    const settings_row &row = settings_rows[key];
    BOOL ok = FALSE;
    UINT number = GetDlgItemInt(dialog, id, &ok, FALSE);
    if (!ok) return;
    row.value->store(number_clamp((int32_t)number, row.dialog_low, row.dialog_high),
                     std::memory_order_relaxed);
}

// "OK / Save": stores the fields, the check box and the list box in memory, rewrites the
// settings file (reporting a failed write) and ends the dialog.
static void config_save(HWND dialog)
{
    config_read_number(dialog, IDC_CLEAR_TIME, SETTINGS_CLEAR_TIME);
    config_read_number(dialog, IDC_AUTH_FAILURES, SETTINGS_AUTH_FAILURES);
    settings.use_short_term.store(IsDlgButtonChecked(dialog, IDC_SHORT_TERM) == BST_CHECKED,
                                  std::memory_order_relaxed);

    // Gathered entry by entry, then put in force in one step: a POP3 thread testing an address
    // meanwhile meets the whole old list.
    int32_t count = (int32_t)SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETCOUNT, 0, 0);
    char text[CONFIG_TEXT_SIZE];
    for (int32_t i = 0; i < count; i++) {
        LRESULT length = SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXTLEN, i, 0);
        if (length < 0 || length >= CONFIG_TEXT_SIZE) continue;
        SendDlgItemMessageA(dialog, IDC_WHITE_LIST, LB_GETTEXT, i, (LPARAM)text);
        int32_t prefix = ip_split_entry(text, CONFIG_NO_PREFIX_NUMBER);
        config_log_entry(dialog, count, text, prefix);
        white_add(text, prefix); // a refused entry is dropped; its line above is the trace
    }
    white_publish();
    if (save_settings() != 1) config_report_save_failure(dialog);
    EndDialog(dialog, 1);
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

// "Forget" (and the Delete key) or "Refuse now" on the selected rows of the list: each address
// is freed as a login frees it (a network, here and in the shared store), or held refused from
// now on (here and in the shared store). One line per address, logged once the table's work on
// it is done, so never under a table lock; then the list is shown afresh. The gate is held as in
// "Clear All".
static void config_act_on_selection(HWND dialog, bool refuse)
{
    char text[IP_LIST_TEXT_SIZE];
    for (int32_t row = ip_list_next_selected(-1, text); row >= 0;
         row = ip_list_next_selected(row, text)) {
        if (text[0] == '\0') continue; // a row the list could not give back
        char address[IP_LIST_TEXT_SIZE];
        snprintf(address, sizeof address, "%s", text);
        bool network = ip_split_entry(address, 0) != 32; // a network row: "10.1.2.0/24"
        uint32_t ip = ip_parse(address);
        event_gate_enter();
        db_table *table = db_current();
        int32_t done = 1;
        if (refuse)
            done = network ? decision_refuse_network(table, ip) : decision_refuse(table, ip);
        else if (network) decision_forget_network(table, ip);
        else decision_forget(table, ip);
        daemon_leave();
        if (!done)
            config_log(dialog, LOG_PRIO_WARNING, "Tollgate: %s not refused, the table is full",
                       text);
        else
            config_log(dialog, LOG_PRIO_INFO,
                       refuse ? "Tollgate: %s refused by the administrator"
                              : "Tollgate: %s forgotten by the administrator",
                       text);
    }
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
    if (message == WM_CONTEXTMENU) {
        if (ip_list_window == nullptr || (HWND)wparam != ip_list_window) return 0;
        ip_list_menu(dialog, lparam);
        return 1;
    }
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
    case IDM_FORGET: config_act_on_selection(dialog, false); return 1;
    case IDM_REFUSE: config_act_on_selection(dialog, true); return 1;
    default: return 0;
    }
}
