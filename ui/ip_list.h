// The address list view inside the configuration dialog: one row per held address with its
// connection count and its age in seconds (and, while repeat offenders are remembered, its
// offences; while logins are trusted, a mark on the trusted ones), rebuilt from the address table
// on request; when the table counts networks, one row per held network ("10.1.2.0/24") after the
// addresses.
//
// The default 48-slot table fills an ordinary list view row by row. A larger table is shown by
// a list view that asks for its rows as they come into sight (LVS_OWNERDATA), from a snapshot
// taken at each refresh: a row per held address costs the control nothing until it is seen.
//
// Owns: ip_list_window, the text buffer the rows are set from, and the snapshot.
// Threads: only the dialog's thread (the host thread running _configure).
// Lock: none held; the rows come from db_next, which copies one slot at a time under its stripe
// lock.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>

// The list view: class, style, place (client pixels of the dialog) and columns.
#define IP_LIST_CLASS "SysListView32"
enum : int32_t {
    IP_LIST_LEFT = 14,
    IP_LIST_TOP = 30,
    IP_LIST_WIDTH = 210,
    IP_LIST_HEIGHT = 282,
    IP_LIST_COLUMNS = 3,
    IP_LIST_COLUMN_OFFENCES = 3, // shown while RepeatFactor is set
    IP_LIST_COLUMN_TRUSTED = 4,  // shown while TrustDays is set
    IP_LIST_COLUMNS_ALL = 5,
    IP_LIST_ROW_HINT = 30, // LVM_SETITEMCOUNT size hint
    IP_LIST_TEXT_SIZE = 32, // one cell: an address, a network or a decimal number
};
enum : DWORD {
    IP_LIST_STYLE = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_GROUP | WS_TABSTOP |
                    LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SORTDESCENDING | LVS_NOLABELWRAP |
                    LVS_AUTOARRANGE,
    IP_LIST_EX_STYLE = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
};
static_assert(IP_LIST_STYLE == 0x503301A9 && IP_LIST_EX_STYLE == 0x21);

struct ip_list_column {
    const char *title;
    int32_t width;        // pixels
    int32_t width_beside; // pixels, beside an optional column
};
// The columns in order; the last two are shown only while repeat offenders are remembered and
// while logins are trusted, each.
extern const ip_list_column ip_list_columns[IP_LIST_COLUMNS_ALL];

// The list view of the dialog opened last: 0 until the first opening and after a creation that
// failed; after the dialog has ended it names a window that no longer exists. Dialog thread.
extern HWND ip_list_window;

// Creates the list view inside `dialog` (replacing one left from an earlier opening), sets its
// columns and fills it. When the class is not registered in the process, shows the one box
// "Unable to create IP list window" and leaves ip_list_window 0.
void ip_list_create(HWND dialog);
// Rebuilds every row from the table, measuring ages against one reading of db_clock. Does
// nothing while ip_list_window is 0.
void ip_list_refresh();
// The dialog's WM_NOTIFY: fills in the text of a row the list view asks for (large tables),
// and turns the Delete key in the list into the dialog's "Forget" command. True when it was
// the list view's.
bool ip_list_notify(const NMHDR *header);
// The address of the first selected row after row `after` (-1 to start), as the list shows
// it, into `text` (IP_LIST_TEXT_SIZE bytes); returns that row, or -1 when there is none.
int32_t ip_list_next_selected(int32_t after, char *text);
// Opens the list's context menu, owned by `dialog`, whose commands then reach the dialog. At
// `where` (screen coordinates as WM_CONTEXTMENU gives them), or under the focused row when
// the keyboard asked (both coordinates -1). Its items are greyed while no row is selected.
void ip_list_menu(HWND dialog, LPARAM where);
// Gives back the snapshot when the dialog ends.
void ip_list_close();
