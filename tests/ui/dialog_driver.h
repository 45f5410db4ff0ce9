// Test frame for the configuration dialog: runs the real modal dialog on the test thread while
// a driver thread finds it and works its controls the way a user would.
//
// Threads: _configure and so the dialog run on the test's main thread; the driver code runs on
// a second thread and reaches the dialog only through messages (sent messages run on the
// dialog's thread, so the controls are only ever touched there).
#pragma once
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/host_interface.h"
#include "tests/support/table_text.h"
#include "tests/support/workdir.h"

// Seconds since 1970 that the table's clock answers with in these tests.
extern std::atomic<int32_t> test_now;

// What the module asked of os.message_box, in order.
struct box_call {
    HWND owner;
    std::string text;
    bool has_caption;
    UINT type;
};
std::vector<box_call> box_calls();
// 0: show the real box (a driver must answer it); otherwise answer at once with this value.
void box_set_answer(int answer);

// Runs _configure(record) on this thread. `drive` runs on a driver thread with the dialog
// " Tollgate Options" as soon as it is visible (bounded wait); a dialog still open when
// `drive` returns is cancelled. `shown` tells whether the dialog ever appeared.
int16_t dialog_run(host_interface *record, const std::function<void(HWND dialog)> &drive,
                   bool *shown = nullptr);
// As dialog_run, but first waits on the driver thread for the box "Unable to create IP list
// window" and answers it with OK; `box_seen` tells whether it came.
int16_t dialog_run_after_box(host_interface *record, const std::function<void(HWND)> &drive,
                             bool *box_seen);

// Driver-side helpers (any thread but the dialog's).
std::string dlg_text(HWND dialog, int id);
void dlg_set_text(HWND dialog, int id, const char *text);
void dlg_click(HWND dialog, int id);                     // a mouse click on a button
int dlg_focus_id(HWND dialog);                           // id of the control with the focus
void dlg_enter_in(HWND dialog, int id);                  // Enter with the focus in control id
void dlg_add_entry(HWND dialog, const char *text);       // types into 1007 and clicks "Add"
std::vector<std::string> dlg_list_box(HWND dialog);      // the white list being edited
bool dlg_is_open(HWND dialog);
bool dlg_wait_closed(HWND dialog);                      // false if still open after a while

// The list view's rows as texts of their three cells.
std::vector<std::vector<std::string>> list_view_rows(HWND list);
// Selects exactly the rows of `list` whose address is one of `addresses`.
void list_view_select(HWND list, const std::vector<std::string> &addresses);
// Opens the list's context menu as a right-click on it does, and chooses the item at
// `position` with the arrow keys and Enter; returns the items' texts as the menu showed them
// (empty when no menu opened).
std::vector<std::string> list_menu_choose(HWND dialog, HWND list, int position);
// Polls `done` until it holds (true) or a while has passed (false).
bool dlg_wait_for(const std::function<bool()> &done);

// Each test runs in a fresh working directory of its own, with the host record reset, the
// table's clock fixed, and this executable's resources standing for the module's.
class DialogFixture : public ::testing::Test {
protected:
    void SetUp() override;

    // Registers the common controls as a host's process would have (kept out of the process
    // until called: loading comctl32 alone registers its classes).
    static void load_common_controls();
    // Plays a started daemon: the host record as the interface copy, the table emptied.
    static void play_started();

    static host_interface *record();
    static std::string ini_path();
    static bool ini_exists();
    static int ini_int(const char *section, const char *key);
    static std::string ini_text(const char *section, const char *key);
    // The log lines whose text begins with `prefix`.
    static std::vector<std::string> log_starting(const std::string &prefix);

private:
    scoped_workdir workdir_{"tollgate-ui-"};
};
