// The configuration dialog "ConfigBox": edits ClearTime, AuthFailures, UseShortTerm and the white
// list, shows and empties the address table, and saves to memory and to the settings file.
//
// Owns: no module state; while the dialog is open its controls hold the values being edited.
// The address list's context menu acts on the table at once, as "Clear All" does.
// Threads: the host thread that calls _configure runs the whole modal dialog; the POP3 threads
// and the sweeper go on meanwhile.
// Lock: takes none of its own; "Clear All" goes through db_clear, the list view through db_next,
// the list's "Forget" through decision_forget (as a login) or, on a network row,
// decision_forget_network, and "Refuse now" through db_refuse or db_refuse_network.
#pragma once
#include <windows.h>

#include <cstdint>

enum : int32_t {
    CONFIG_TEXT_SIZE = 100,       // the one buffer for list-box and edit-field texts
    CONFIG_NO_PREFIX_NUMBER = 32, // prefix of an entry whose "/" is followed by no number
};

// The dialog procedure given to DialogBoxParamA; the initial value is the host record that
// _configure received. Returns 1 for the messages it handles, 0 for the others.
INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
