// Resource ids of Tollgate.dll, shared by the resource script and the dialog code. Plain macros:
// the resource compiler reads only #define lines.
#pragma once

// The configuration dialog's template name (matched without regard to case).
#define CONFIG_DIALOG_NAME "ConfigBox"

// Controls of the configuration dialog. IDOK (1), IDCANCEL (2) and no id (-1) come from
// windows.h; the list view that the code adds at run time has the id 0.
#define IDC_CLEAR_ALL 3        // "Clear &All": empties the address table
#define IDC_CLEAR_TIME 1000    // ClearTime, minutes
#define IDC_AUTH_FAILURES 1001 // AuthFailures
#define IDC_SHORT_TERM 1002    // UseShortTerm check box
#define IDC_WHITE_LIST 1003    // the white list being edited
#define IDC_REMOVE 1005        // "Remove": selected entry back into the entry field
#define IDC_ADD 1006           // "Add": entry field onto the white list
#define IDC_WHITE_ENTRY 1007   // the entry field
#define IDC_REFRESH 1018       // "&Refresh": re-reads the address table
#define IDC_IP_LIST 0          // the address list view

// The address list's context menu (a resource of its own, stored as IPLISTMENU) and its
// commands, which reach the dialog as WM_COMMAND like its buttons'.
#define IP_LIST_MENU_NAME "IpListMenu"
#define IDM_FORGET 1020        // "Forget": frees the selected addresses, as a login would
#define IDM_REFUSE 1021        // "Refuse now": holds them refused from now

// The predefined window classes by their ordinals, as the dialog template stores them.
#define RC_CLASS_BUTTON 0x0080
#define RC_CLASS_EDIT 0x0081
#define RC_CLASS_STATIC 0x0082
#define RC_CLASS_LISTBOX 0x0083
