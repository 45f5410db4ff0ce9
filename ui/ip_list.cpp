// The address list view: a report-style list of the held addresses.
#include "ui/ip_list.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>

#include "host/daemon.h"
#include "host/base/os.h"
#include "host/base/ip_address.h"
#include "tracking/ip_db.h"
#include "ui/resource.h"

const ip_list_column ip_list_columns[IP_LIST_COLUMNS_ALL] = {
    {"IP address", 93, 93},
    {"Conns", 47, 47},
    {"Age (s)", 70, 50},
    {"Offences", 0, 58},
    {"Trusted", 0, 52},
};
static const char IP_LIST_TRUSTED_MARK[] = "yes";

// One row of the snapshot a large table is shown from.
struct ip_list_row {
    uint32_t ip;
    int32_t age; // seconds, at the refresh
    uint16_t conns;
    uint8_t offences;
    uint8_t bits; // a network's prefix length; 0 for an address
    bool trusted; // an address trusted by a login
};

HWND ip_list_window;                       // dialog thread only
static char ip_list_text[IP_LIST_TEXT_SIZE]; // dialog thread only: the cell being set
static ip_list_row *ip_list_rows;          // dialog thread only: the snapshot, or null for an
                                           // ordinary list view
static int32_t ip_list_room;               // dialog thread only: rows the snapshot can hold
static int32_t ip_list_count;              // dialog thread only: rows it holds
static int32_t ip_list_shown;              // dialog thread only: columns of the list view
static int32_t ip_list_shown_column[IP_LIST_COLUMNS_ALL]; // dialog thread only: which column
                                                          // of ip_list_columns each one is

// True when `window` is a list view this module made and that still exists. A handle kept from
// an earlier opening normally names a destroyed window; should the system have handed the
// number to some other window since, that window is not ours to destroy.
static bool ip_list_is_ours(HWND window)
{
    if (window == nullptr || !IsWindow(window)) return false;
    if ((void *)GetWindowLongPtrA(window, GWLP_HINSTANCE) != module_instance) return false;
    char name[sizeof(IP_LIST_CLASS) + 1];
    return GetClassNameA(window, name, sizeof(name)) > 0 && strcmp(name, IP_LIST_CLASS) == 0;
}

void ip_list_close()
{
    if (ip_list_rows) os.release(ip_list_rows);
    ip_list_rows = nullptr;
    ip_list_room = ip_list_count = 0;
}

void ip_list_create(HWND dialog)
{
    if (ip_list_is_ours(ip_list_window)) DestroyWindow(ip_list_window);
    ip_list_close();
    DWORD style = IP_LIST_STYLE;
    event_gate_enter();
    db_table *table = db_current();
    int32_t capacity = db_capacity(table);
    int32_t rows = capacity + (db_networks(table) ? db_capacity(db_networks(table)) : 0);
    daemon_leave();
    if (capacity > DB_SLOTS) {
        // Rows on demand: the control sorts nothing itself then.
        ip_list_rows = (ip_list_row *)os.alloc(sizeof(ip_list_row) * (size_t)rows);
        if (ip_list_rows) ip_list_room = rows;
        style = (style & ~(DWORD)LVS_SORTDESCENDING) | LVS_OWNERDATA;
    }
    ip_list_window = CreateWindowExA(0, IP_LIST_CLASS, "", style, IP_LIST_LEFT, IP_LIST_TOP,
                                     IP_LIST_WIDTH, IP_LIST_HEIGHT, dialog, (HMENU)IDC_IP_LIST,
                                     (HINSTANCE)module_instance, nullptr);
    if (ip_list_window == nullptr) {
        // The module never initialises the common controls: the host's process must have.
        os.message_box(nullptr, "Unable to create IP list window", nullptr, MB_OK);
        return;
    }
    SendMessageA(ip_list_window, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, IP_LIST_EX_STYLE);
    SendMessageA(ip_list_window, LVM_DELETEALLITEMS, 0, 0);
    for (ip_list_shown = 0; ip_list_shown < IP_LIST_COLUMNS; ip_list_shown++)
        ip_list_shown_column[ip_list_shown] = ip_list_shown;
    if (db_repeat_on()) ip_list_shown_column[ip_list_shown++] = IP_LIST_COLUMN_OFFENCES;
    if (db_trust_on()) ip_list_shown_column[ip_list_shown++] = IP_LIST_COLUMN_TRUSTED;
    for (int32_t i = 0; i < ip_list_shown; i++) {
        const ip_list_column &shown = ip_list_columns[ip_list_shown_column[i]];
        LVCOLUMNA column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = ip_list_shown == IP_LIST_COLUMNS ? shown.width : shown.width_beside;
        column.pszText = (char *)shown.title;
        column.iSubItem = i;
        SendMessageA(ip_list_window, LVM_INSERTCOLUMNA, i, (LPARAM)&column);
    }
    if (!(style & LVS_OWNERDATA))
        SendMessageA(ip_list_window, LVM_SETITEMCOUNT, IP_LIST_ROW_HINT, 0);
    ip_list_refresh();
}

// Hands each held slot of the current table, then each of its network table, to `take` as a row,
// its age measured against `now` (wrapping subtraction: a clock set back shows a negative age,
// never an overflow) and an address marked when it is trusted, until `take` answers false. Counted
// in the gate, so that no start-up or shutdown on another thread gives the table back under the
// walk.
template <typename Take> static void ip_list_walk(int32_t now, Take take)
{
    const db_settings in_force = db_settings_now();
    db_table *table = nullptr; // read inside the gate, below
    auto walk = [&](db_table *source, uint8_t bits) {
        ip_entry_copy slot;
        for (int32_t i = db_next(source, -1, &slot); i >= 0; i = db_next(source, i, &slot))
            if (!take(ip_list_row{slot.ip, (int32_t)((uint32_t)now - (uint32_t)slot.last_seen),
                                  slot.conns, slot.offences, bits,
                                  bits == 0 && db_trusted(table, slot.ip, in_force)}))
                return false;
        return true;
    };
    event_gate_enter();
    table = db_current();
    if (walk(table, 0) && db_networks(table))
        walk(db_networks(table), (uint8_t)db_network_bits(table));
    daemon_leave();
}

// Refreshes a large table's list: a new snapshot in slot order, networks after the addresses,
// then the row count.
static void ip_list_refresh_snapshot()
{
    int32_t n = 0;
    ip_list_walk(db_clock(), [&](const ip_list_row &row) {
        if (n == ip_list_room) return false;
        ip_list_rows[n++] = row;
        return true;
    });
    ip_list_count = n;
    SendMessageA(ip_list_window, LVM_SETITEMCOUNT, n, 0);
    InvalidateRect(ip_list_window, nullptr, TRUE);
    UpdateWindow(ip_list_window);
}

// The text of one cell of a row, into ip_list_text; `column` is one of ip_list_columns.
static void ip_list_cell_text(const ip_list_row &row, int32_t column)
{
    if (column == 0) {
        static_assert(sizeof(ip_list_text) >= IP_ENTRY_TEXT_SIZE, "room for a network");
        ip_format_entry(row.ip, row.bits, ip_list_text);
    } else if (column == IP_LIST_COLUMN_TRUSTED) {
        snprintf(ip_list_text, sizeof(ip_list_text), "%s", row.trusted ? IP_LIST_TRUSTED_MARK : "");
    } else {
        snprintf(ip_list_text, sizeof(ip_list_text), "%d",
                 column == 1   ? (int)row.conns
                 : column == 2 ? (int)row.age
                               : (int)row.offences);
    }
}

// The text of the cell the list view shows at `row`, `column` of the snapshot, into
// ip_list_text; false for a cell it does not have.
static bool ip_list_shown_cell(int32_t row, int32_t column)
{
    if (row < 0 || row >= ip_list_count || column < 0 || column >= ip_list_shown) return false;
    ip_list_cell_text(ip_list_rows[row], ip_list_shown_column[column]);
    return true;
}

bool ip_list_notify(const NMHDR *header)
{
    if (header == nullptr || header->hwndFrom != ip_list_window) return false;
    if (header->code == LVN_KEYDOWN) {
        if (((const NMLVKEYDOWN *)header)->wVKey != VK_DELETE) return false;
        SendMessageA(GetParent(ip_list_window), WM_COMMAND, IDM_FORGET, 0);
        return true;
    }
    if (ip_list_rows == nullptr) return false;
    if (header->code == LVN_GETDISPINFOA) {
        LVITEMA &item = ((NMLVDISPINFOA *)header)->item;
        if (!(item.mask & LVIF_TEXT) || !ip_list_shown_cell(item.iItem, item.iSubItem)) return true;
        if (item.cchTextMax > 0) lstrcpynA(item.pszText, ip_list_text, item.cchTextMax);
        return true;
    }
    if (header->code == LVN_GETDISPINFOW) { // a list view that speaks Unicode to us
        LVITEMW &item = ((NMLVDISPINFOW *)header)->item;
        if (!(item.mask & LVIF_TEXT) || !ip_list_shown_cell(item.iItem, item.iSubItem)) return true;
        int k = 0;
        for (; k + 1 < item.cchTextMax && ip_list_text[k]; k++)
            item.pszText[k] = (WCHAR)ip_list_text[k];
        if (item.cchTextMax > 0) item.pszText[k] = 0;
        return true;
    }
    return false;
}

// Sets the text of one cell from ip_list_text.
static void ip_list_set_cell(int32_t row, int32_t column)
{
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = ip_list_text;
    SendMessageA(ip_list_window, LVM_SETITEMTEXTA, row, (LPARAM)&item);
}

void ip_list_refresh()
{
    if (ip_list_window == nullptr) return;
    if (GetWindowLongA(ip_list_window, GWL_STYLE) & LVS_OWNERDATA) {
        ip_list_refresh_snapshot();
        return;
    }
    SendMessageA(ip_list_window, LVM_DELETEALLITEMS, 0, 0);
    int32_t last_row = -1;
    ip_list_walk(db_clock(), [&](const ip_list_row &shown) {
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = shown.bits ? INT32_MAX : 1; // networks after the addresses
        item.iSubItem = 0;
        item.pszText = (char *)"";
        int32_t row = (int32_t)SendMessageA(ip_list_window, LVM_INSERTITEMA, 0, (LPARAM)&item);
        if (row < 0) return true; // nothing was inserted: there is no row to fill
        last_row = row;
        for (int32_t column = 0; column < ip_list_shown; column++) {
            ip_list_cell_text(shown, ip_list_shown_column[column]);
            ip_list_set_cell(row, column);
        }
        return true;
    });
    // An empty walk has no row to redraw.
    if (last_row >= 0) PostMessageA(ip_list_window, LVM_REDRAWITEMS, 0, last_row);
    UpdateWindow(ip_list_window);
}

int32_t ip_list_next_selected(int32_t after, char *text)
{
    if (ip_list_window == nullptr) return -1;
    int32_t row = (int32_t)SendMessageA(ip_list_window, LVM_GETNEXTITEM, after, LVNI_SELECTED);
    if (row < 0) return -1;
    if (ip_list_rows) {
        // Rows on demand: the text comes from the snapshot the row was drawn from.
        if (row >= ip_list_count) return -1;
        ip_list_cell_text(ip_list_rows[row], 0);
        lstrcpynA(text, ip_list_text, IP_LIST_TEXT_SIZE);
        return row;
    }
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = text;
    item.cchTextMax = IP_LIST_TEXT_SIZE;
    text[0] = '\0';
    SendMessageA(ip_list_window, LVM_GETITEMTEXTA, row, (LPARAM)&item);
    return row;
}

void ip_list_menu(HWND dialog, LPARAM where)
{
    if (ip_list_window == nullptr) return;
    POINT at{(short)LOWORD(where), (short)HIWORD(where)};
    if ((DWORD)where == 0xFFFFFFFFu) {
        // From the keyboard (Shift+F10, the menu key): under the focused row, else at the
        // list's top left corner.
        RECT r{};
        r.left = LVIR_BOUNDS;
        int32_t row = (int32_t)SendMessageA(ip_list_window, LVM_GETNEXTITEM, -1, LVNI_FOCUSED);
        if (row < 0 || !SendMessageA(ip_list_window, LVM_GETITEMRECT, row, (LPARAM)&r))
            r = RECT{};
        at = {r.left, r.bottom};
        ClientToScreen(ip_list_window, &at);
    }
    HMENU menu = LoadMenuA((HINSTANCE)module_instance, IP_LIST_MENU_NAME);
    if (menu == nullptr) return;
    HMENU popup = GetSubMenu(menu, 0);
    if (SendMessageA(ip_list_window, LVM_GETSELECTEDCOUNT, 0, 0) == 0) {
        EnableMenuItem(popup, IDM_FORGET, MF_BYCOMMAND | MF_GRAYED);
        EnableMenuItem(popup, IDM_REFUSE, MF_BYCOMMAND | MF_GRAYED);
    }
    // The chosen command is posted to the dialog once the menu has closed.
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, dialog,
                   nullptr);
    DestroyMenu(menu);
}
