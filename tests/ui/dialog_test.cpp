// The configuration dialog, driven on screen: fields and their bounds, the white list being
// edited, the buttons, the Enter key, the entry point, and a daemon that is not started.
#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "mailhost/host_side.h"
#include "settings/values/settings.h"
#include "tests/ui/dialog_driver.h"
#include "tracking/ip_db.h"
#include "tracking/white_list.h"
#include "ui/ip_list.h"
#include "ui/resource.h"

namespace {

// A started daemon with the common controls registered, as in the host's process.
class DialogStarted : public DialogFixture {
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        load_common_controls();
        play_started();
    }
};

class DialogFields : public DialogStarted {};
class DialogWhiteList : public DialogStarted {};
class DialogButtons : public DialogStarted {};
class DialogEnter : public DialogStarted {};

std::vector<std::string> white_list_texts()
{
    std::vector<std::string> texts;
    for (int32_t i = 0; i < white_count(); i++) {
        uint32_t address, mask;
        white_entry(i, &address, &mask);
        in_addr a;
        a.s_addr = address;
        texts.push_back(std::string(inet_ntoa(a)) + "/" + std::to_string(mask_to_prefix(mask)));
    }
    return texts;
}

using lines = std::vector<std::string>;

// One opening: `typed` into field `id`, then "OK / Save".
struct field_case {
    int id;
    const char *typed;
    int32_t stored; // what the setting holds afterwards (ClearTime was 77, AuthFailures 7)
};

TEST_F(DialogFields, SaveStoresTheTypedNumberWithinItsBounds)
{
    const field_case cases[] = {
        {IDC_CLEAR_TIME, "0", 1},         {IDC_CLEAR_TIME, "1441", 1440},
        {IDC_CLEAR_TIME, "1440", 1440},   {IDC_CLEAR_TIME, "45", 45},
        {IDC_CLEAR_TIME, "abc", 77},      {IDC_CLEAR_TIME, "", 77},
        {IDC_CLEAR_TIME, "4294967295", 1}, {IDC_CLEAR_TIME, "2147483648", 1},
        {IDC_AUTH_FAILURES, "0", 1},      {IDC_AUTH_FAILURES, "31", 30},
        {IDC_AUTH_FAILURES, "30", 30},    {IDC_AUTH_FAILURES, "abc", 7},
    };
    for (const field_case &c : cases) {
        SCOPED_TRACE(std::string(c.id == IDC_CLEAR_TIME ? "ClearTime " : "AuthFailures ") + "'" +
                     c.typed + "'");
        settings.clear_time = 77;
        settings.auth_failures = 7;
        bool open_after = true;
        EXPECT_EQ(dialog_run(record(),
                             [&](HWND dlg) {
                                 dlg_set_text(dlg, c.id, c.typed);
                                 dlg_click(dlg, IDOK);
                                 open_after = dlg_is_open(dlg);
                             }),
                  1);
        EXPECT_FALSE(open_after);
        int32_t other = c.id == IDC_CLEAR_TIME ? settings.auth_failures.load() : settings.clear_time.load();
        int32_t edited = c.id == IDC_CLEAR_TIME ? settings.clear_time.load() : settings.auth_failures.load();
        EXPECT_EQ(edited, c.stored);
        EXPECT_EQ(other, c.id == IDC_CLEAR_TIME ? 7 : 77); // the other field saved as shown
    }
}

TEST_F(DialogFields, NegativeAuthFailuresShowsUnsignedAndSavesAsOne)
{
    settings.auth_failures = -2;
    std::string shown;
    dialog_run(record(), [&](HWND dlg) {
        shown = dlg_text(dlg, IDC_AUTH_FAILURES);
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(shown, "4294967294");
    EXPECT_EQ(settings.auth_failures.load(), 1);
}

TEST_F(DialogFields, OpeningShowsTheSettingsInMemory)
{
    settings.clear_time = 45;
    settings.auth_failures = 3;
    settings.use_short_term = 1;
    std::string clear_time, auth_failures;
    UINT check = 0;
    int focus = 0;
    dialog_run(record(), [&](HWND dlg) {
        clear_time = dlg_text(dlg, IDC_CLEAR_TIME);
        auth_failures = dlg_text(dlg, IDC_AUTH_FAILURES);
        check = IsDlgButtonChecked(dlg, IDC_SHORT_TERM);
        focus = dlg_focus_id(dlg);
    });
    EXPECT_EQ(clear_time, "45");
    EXPECT_EQ(auth_failures, "3");
    EXPECT_EQ(check, (UINT)BST_CHECKED);
    EXPECT_EQ(focus, IDCANCEL); // the first tab stop
}

TEST_F(DialogFields, CheckBoxIsStoredOnSave)
{
    settings.use_short_term = 1;
    dialog_run(record(), [&](HWND dlg) {
        dlg_click(dlg, IDC_SHORT_TERM);
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(settings.use_short_term.load(), 0);
    dialog_run(record(), [&](HWND dlg) {
        dlg_click(dlg, IDC_SHORT_TERM);
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(settings.use_short_term.load(), 1);
}

TEST_F(DialogFields, CancelDiscardsEveryEdit)
{
    white_add("192.168.1.0", 24);
    white_publish();
    settings.clear_time = 30;
    settings.auth_failures = 5;
    dialog_run(record(), [&](HWND dlg) {
        dlg_set_text(dlg, IDC_CLEAR_TIME, "99");
        dlg_set_text(dlg, IDC_AUTH_FAILURES, "9");
        dlg_click(dlg, IDC_SHORT_TERM);
        dlg_add_entry(dlg, "10.0.0.1");
        SendDlgItemMessageA(dlg, IDC_WHITE_LIST, LB_SETCURSEL, 0, 0);
        dlg_click(dlg, IDC_REMOVE);
        dlg_click(dlg, IDCANCEL);
    });
    EXPECT_EQ(settings.clear_time.load(), 30);
    EXPECT_EQ(settings.auth_failures.load(), 5);
    EXPECT_EQ(settings.use_short_term.load(), 0);
    EXPECT_EQ(white_list_texts(), lines({"192.168.1.0/24"}));
    EXPECT_TRUE(log_starting(" WL").empty());
    EXPECT_FALSE(ini_exists());
}

TEST_F(DialogWhiteList, OpeningListsTheEntriesInMemory)
{
    white_add("192.168.1.0", 24);
    white_add("10.1.2.3", 40); // out-of-range prefix: a single address
    white_publish();
    lines shown;
    dialog_run(record(), [&](HWND dlg) { shown = dlg_list_box(dlg); });
    EXPECT_EQ(shown, lines({"192.168.1.0/24", "10.1.2.3/32"}));
}

TEST_F(DialogWhiteList, SaveLogsEachEntryWithTheEntryCountAndRebuildsTheList)
{
    dialog_run(record(), [&](HWND dlg) {
        dlg_add_entry(dlg, "10.0.0.0/8");
        dlg_add_entry(dlg, "192.168.1.5");
        dlg_add_entry(dlg, "172.16.0.0/x");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(3):'10.0.0.0'/'8'.",
                                          "0/25  WL(3):'192.168.1.5'/'32'.",
                                          "0/25  WL(3):'172.16.0.0'/'32'."}));
    EXPECT_EQ(white_list_texts(), lines({"10.0.0.0/8", "192.168.1.5/32", "172.16.0.0/32"}));
    uint32_t address, mask;
    white_entry(0, &address, &mask);
    EXPECT_EQ(mask, prefix_to_mask(8));
}

TEST_F(DialogWhiteList, SlashWithoutNumberAndNoSlashBothMeanThirtyTwo)
{
    dialog_run(record(), [&](HWND dlg) {
        dlg_add_entry(dlg, "10.0.0.0/");
        dlg_add_entry(dlg, "10.0.0.0");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(2):'10.0.0.0'/'32'.",
                                          "0/25  WL(2):'10.0.0.0'/'32'."}));
    EXPECT_EQ(white_list_texts(), lines({"10.0.0.0/32", "10.0.0.0/32"}));
}

TEST_F(DialogWhiteList, EmptiedListBoxEmptiesTheListWithoutALine)
{
    white_add("192.168.1.0", 24);
    white_publish();
    dialog_run(record(), [&](HWND dlg) {
        SendDlgItemMessageA(dlg, IDC_WHITE_LIST, LB_SETCURSEL, 0, 0);
        dlg_click(dlg, IDC_REMOVE);
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(white_count(), 0);
    EXPECT_TRUE(log_starting(" WL").empty());
}

TEST_F(DialogWhiteList, SeventeenEntriesLogSeventeenAndKeepSixteen)
{
    dialog_run(record(), [&](HWND dlg) {
        for (int i = 1; i <= 17; i++) dlg_add_entry(dlg, ("10.0.0." + std::to_string(i)).c_str());
        dlg_click(dlg, IDOK);
    });
    lines logged = log_starting(" WL");
    ASSERT_EQ(logged.size(), 17u);
    EXPECT_EQ(logged[16], "0/25  WL(17):'10.0.0.17'/'32'.");
    EXPECT_EQ(white_count(), WHITE_MAX);
    EXPECT_EQ(white_list_texts().back(), "10.0.0.16/32");
    ASSERT_TRUE(ini_exists());
    EXPECT_EQ(ini_int("General", "WhiteIPs"), 16);
    EXPECT_EQ(ini_text("WhiteIP", "WhiteIP16"), "10.0.0.16/32");
    EXPECT_EQ(ini_text("WhiteIP", "WhiteIP17"), "<missing>");
}

TEST_F(DialogWhiteList, NonAddressIsLoggedDroppedAndGoneAtNextOpening)
{
    dialog_run(record(), [&](HWND dlg) {
        dlg_add_entry(dlg, "abc");
        dlg_add_entry(dlg, "10.0.0.1");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(2):'abc'/'32'.",
                                          "0/25  WL(2):'10.0.0.1'/'32'."}));
    lines shown;
    dialog_run(record(), [&](HWND dlg) { shown = dlg_list_box(dlg); });
    EXPECT_EQ(shown, lines({"10.0.0.1/32"}));
}

TEST_F(DialogWhiteList, EntryOfHundredCharactersIsSkippedSilently)
{
    std::string long_entry = "10.0.0.1/" + std::string(91, '8'); // 100 characters
    dialog_run(record(), [&](HWND dlg) {
        SendDlgItemMessageA(dlg, IDC_WHITE_LIST, LB_ADDSTRING, 0, (LPARAM)long_entry.c_str());
        dlg_add_entry(dlg, "10.0.0.2");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(2):'10.0.0.2'/'32'."}));
    EXPECT_EQ(white_list_texts(), lines({"10.0.0.2/32"}));
}

TEST_F(DialogWhiteList, SaveWritesTheSettingsFile)
{
    dialog_run(record(), [&](HWND dlg) {
        dlg_set_text(dlg, IDC_CLEAR_TIME, "45");
        dlg_add_entry(dlg, "192.168.1.0/24");
        dlg_click(dlg, IDOK);
    });
    ASSERT_TRUE(ini_exists());
    EXPECT_EQ(ini_int("General", "ClearTime"), 45);
    EXPECT_EQ(ini_int("General", "WhiteIPs"), 1);
    EXPECT_EQ(ini_text("WhiteIP", "WhiteIP1"), "192.168.1.0/24");
}

// A save that cannot reach the file (here a folder stands in its way) says so in the log and
// in a box owned by the dialog, both naming the file; the values stay in force.
TEST_F(DialogWhiteList, FailedSaveIsReportedAndTheValuesStayInForce)
{
    ASSERT_TRUE(CreateDirectoryA(ini_path().c_str(), nullptr));
    box_set_answer(IDOK);
    HWND dialog = nullptr;
    dialog_run(record(), [&](HWND dlg) {
        dlg_set_text(dialog = dlg, IDC_CLEAR_TIME, "45");
        dlg_click(dlg, IDOK);
    });
    RemoveDirectoryA(ini_path().c_str());
    EXPECT_EQ(settings.clear_time.load(), 45);
    EXPECT_EQ(log_starting("Tollgate: unable"),
              lines({"0/5 Tollgate: unable to save the settings to '" + ini_path() +
                     "', they stay in force until the next start"}));
    ASSERT_EQ(box_calls().size(), 1u);
    EXPECT_EQ(box_calls()[0].owner, dialog);
    EXPECT_NE(box_calls()[0].text.find(ini_path()), std::string::npos) << box_calls()[0].text;
}

TEST_F(DialogButtons, RemoveWithoutSelectionChangesNothing)
{
    white_add("10.0.0.0", 8);
    white_publish();
    lines after;
    std::string field;
    dialog_run(record(), [&](HWND dlg) {
        dlg_set_text(dlg, IDC_WHITE_ENTRY, "typed");
        SendDlgItemMessageA(dlg, IDC_WHITE_LIST, LB_SETCURSEL, (WPARAM)-1, 0);
        dlg_click(dlg, IDC_REMOVE);
        after = dlg_list_box(dlg);
        field = dlg_text(dlg, IDC_WHITE_ENTRY);
    });
    EXPECT_EQ(after, lines({"10.0.0.0/8"}));
    EXPECT_EQ(field, "typed");
}

TEST_F(DialogButtons, RemoveMovesTheEntryToTheFieldAndAddAppendsIt)
{
    white_add("10.0.0.0", 8);
    white_add("192.168.1.5", 32);
    white_publish();
    lines after_remove, after_add;
    std::string field, field_after_add;
    dialog_run(record(), [&](HWND dlg) {
        SendDlgItemMessageA(dlg, IDC_WHITE_LIST, LB_SETCURSEL, 0, 0);
        dlg_click(dlg, IDC_REMOVE);
        after_remove = dlg_list_box(dlg);
        field = dlg_text(dlg, IDC_WHITE_ENTRY);
        dlg_click(dlg, IDC_ADD);
        after_add = dlg_list_box(dlg);
        field_after_add = dlg_text(dlg, IDC_WHITE_ENTRY);
    });
    EXPECT_EQ(after_remove, lines({"192.168.1.5/32"}));
    EXPECT_EQ(field, "10.0.0.0/8");
    EXPECT_EQ(after_add, lines({"192.168.1.5/32", "10.0.0.0/8"}));
    EXPECT_EQ(field_after_add, "");
}

TEST_F(DialogButtons, AddWithEmptyFieldAddsNothingAndKeepsFocusThere)
{
    size_t count = 99;
    int focus = 0;
    dialog_run(record(), [&](HWND dlg) {
        dlg_click(dlg, IDC_ADD);
        count = dlg_list_box(dlg).size();
        focus = dlg_focus_id(dlg);
    });
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(focus, IDC_WHITE_ENTRY);
}

// "Clear All" empties the table only: after Cancel the white list in memory is as it was, and
// the next opening lists it again.
TEST_F(DialogButtons, ClearAllEmptiesTheTableAndKeepsTheWhiteList)
{
    white_add("192.168.1.0", 24);
    white_publish();
    connect_text("10.0.0.7");
    connect_text("10.0.0.8");
    size_t rows_before = 0, rows_after = 99;
    int32_t held_after = -1;
    dialog_run(record(), [&](HWND dlg) {
        rows_before = list_view_rows(ip_list_window).size();
        dlg_click(dlg, IDC_CLEAR_ALL);
        held_after = db_held(db_current());
        rows_after = list_view_rows(ip_list_window).size();
        dlg_click(dlg, IDCANCEL);
    });
    EXPECT_EQ(rows_before, 2u);
    EXPECT_EQ(rows_after, 0u);
    EXPECT_EQ(held_after, 0);
    EXPECT_EQ(white_list_texts(), lines({"192.168.1.0/24"}));
    EXPECT_EQ(connect_text("192.168.1.9"), CHECK_WHITE);
    lines shown;
    dialog_run(record(), [&](HWND dlg) { shown = dlg_list_box(dlg); });
    EXPECT_EQ(shown, lines({"192.168.1.0/24"}));
    EXPECT_FALSE(ini_exists());
}

TEST_F(DialogButtons, CloseBoxEndsLikeCancel)
{
    bool open_after = true;
    EXPECT_EQ(dialog_run(record(),
                         [&](HWND dlg) {
                             dlg_set_text(dlg, IDC_CLEAR_TIME, "99");
                             SendMessageA(dlg, WM_CLOSE, 0, 0); // posts IDCANCEL
                             open_after = !dlg_wait_closed(dlg);
                         }),
              1);
    EXPECT_FALSE(open_after);
    EXPECT_EQ(settings.clear_time.load(), CLEAR_TIME_DEFAULT);
}

TEST_F(DialogButtons, CommandsWithANotificationCodeAreIgnored)
{
    bool open_after = false;
    dialog_run(record(), [&](HWND dlg) {
        // An edit field's change notification for id 1 would otherwise read as "OK".
        SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, EN_CHANGE), 0);
        SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_SETFOCUS), 0);
        open_after = dlg_is_open(dlg);
    });
    EXPECT_TRUE(open_after);
    EXPECT_FALSE(ini_exists());
}

// Enter in the first two fields moves on, in the entry field adds the entry; none saves. Enter
// anywhere else saves.
TEST_F(DialogEnter, EnterMovesThroughTheFieldsAndSavesOnlyElsewhere)
{
    int focus_1 = 0, focus_2 = 0, focus_3 = 0;
    bool open_1 = false, open_2 = false, open_3 = false, open_4 = true;
    lines entries;
    std::string field;
    int32_t clear_time_while_open = 0;
    DWORD default_id = 0;
    dialog_run(record(), [&](HWND dlg) {
        default_id = (DWORD)SendMessageA(dlg, DM_GETDEFID, 0, 0);
        dlg_set_text(dlg, IDC_CLEAR_TIME, "99");
        dlg_enter_in(dlg, IDC_CLEAR_TIME);
        focus_1 = dlg_focus_id(dlg);
        open_1 = dlg_is_open(dlg);
        dlg_enter_in(dlg, IDC_AUTH_FAILURES);
        focus_2 = dlg_focus_id(dlg);
        open_2 = dlg_is_open(dlg);
        dlg_set_text(dlg, IDC_WHITE_ENTRY, "10.9.9.9");
        dlg_enter_in(dlg, IDC_WHITE_ENTRY);
        focus_3 = dlg_focus_id(dlg);
        open_3 = dlg_is_open(dlg);
        entries = dlg_list_box(dlg);
        field = dlg_text(dlg, IDC_WHITE_ENTRY);
        clear_time_while_open = settings.clear_time.load();
        dlg_enter_in(dlg, IDC_SHORT_TERM);
        open_4 = dlg_is_open(dlg);
    });
    // The dialog manager's Enter sends the default button's command: "OK / Save".
    EXPECT_EQ(LOWORD(default_id), IDOK);
    EXPECT_EQ(HIWORD(default_id), DC_HASDEFID);
    EXPECT_EQ(focus_1, IDC_AUTH_FAILURES);
    EXPECT_EQ(focus_2, IDC_SHORT_TERM);
    EXPECT_EQ(focus_3, IDC_WHITE_ENTRY);
    EXPECT_TRUE(open_1 && open_2 && open_3);
    EXPECT_EQ(entries, lines({"10.9.9.9"}));
    EXPECT_EQ(field, "");
    EXPECT_EQ(clear_time_while_open, CLEAR_TIME_DEFAULT);
    EXPECT_FALSE(open_4);
    EXPECT_EQ(settings.clear_time.load(), 99);
    EXPECT_EQ(white_list_texts(), lines({"10.9.9.9/32"}));
}

// The entry point: the version question only while stopped, the one log line, the owner.
class DialogEntry : public DialogFixture {
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        load_common_controls();
    }
};

TEST_F(DialogEntry, StartedDaemonLogsOnceAsksNothingAndOwnsToTheHostWindow)
{
    play_started();
    host_side_set_version(4, 73); // would be asked about if the check ran
    HWND host_window = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(host_window, nullptr);
    host_side_set_parent_window((int32_t)(intptr_t)host_window);
    HWND owner = nullptr;
    EXPECT_EQ(dialog_run(record(), [&](HWND dlg) { owner = GetWindow(dlg, GW_OWNER); }), 1);
    EXPECT_EQ(owner, host_window);
    EXPECT_TRUE(box_calls().empty());
    EXPECT_EQ(log_starting("Tollgate config"), lines({"0/15 Tollgate config"}));
    EXPECT_EQ(host_side_call_count("parent_window 6"), 1);
    DestroyWindow(host_window);
}

TEST_F(DialogEntry, StoppedDaemonOnOldHostAsksAndNoEndsWithoutDialog)
{
    host_side_set_version(4, 73);
    box_set_answer(IDNO);
    bool shown = true;
    EXPECT_EQ(dialog_run(record(), [](HWND) {}, &shown), 0);
    EXPECT_FALSE(shown);
    ASSERT_EQ(box_calls().size(), 1u);
    EXPECT_EQ(box_calls()[0].type, (UINT)(MB_YESNO | MB_ICONERROR));
    EXPECT_TRUE(log_starting("Tollgate config").empty());
}

TEST_F(DialogEntry, StoppedDaemonOnOldHostAnsweredYesOpens)
{
    host_side_set_version(4, 73);
    box_set_answer(IDYES);
    bool shown = false;
    EXPECT_EQ(dialog_run(record(), [](HWND) {}, &shown), 1);
    EXPECT_TRUE(shown);
    EXPECT_EQ(box_calls().size(), 1u);
    EXPECT_EQ(log_starting("Tollgate config").size(), 1u);
}

// With the daemon stopped there is no interface copy: the dialog still edits
// what memory holds, and its lines go to the record the host handed _configure.
class DialogNotStarted : public DialogEntry {};

TEST_F(DialogNotStarted, NeverStartedShowsDefaultsAndSavesThroughTheRecord)
{
    ASSERT_EQ(host_copy, nullptr);
    connect_text("10.0.0.7"); // the table works unlocked while nothing else runs
    std::string clear_time, auth_failures;
    size_t entries = 99, rows_before = 0, rows_after = 99;
    dialog_run(record(), [&](HWND dlg) {
        clear_time = dlg_text(dlg, IDC_CLEAR_TIME);
        auth_failures = dlg_text(dlg, IDC_AUTH_FAILURES);
        entries = dlg_list_box(dlg).size();
        rows_before = list_view_rows(ip_list_window).size();
        dlg_click(dlg, IDC_CLEAR_ALL);
        rows_after = list_view_rows(ip_list_window).size();
        dlg_add_entry(dlg, "10.0.0.0/8");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(clear_time, "30");
    EXPECT_EQ(auth_failures, "5");
    EXPECT_EQ(entries, 0u);
    EXPECT_EQ(rows_before, 1u);
    EXPECT_EQ(rows_after, 0u);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(1):'10.0.0.0'/'8'."}));
    EXPECT_EQ(white_list_texts(), lines({"10.0.0.0/8"}));
    EXPECT_EQ(host_copy, nullptr);
}

TEST_F(DialogNotStarted, AfterShutdownNeverTouchesTheReleasedCopyOrLock)
{
    ASSERT_EQ(_startup(record()), 1);
    connect_text("10.0.0.7");
    _closedown();
    ASSERT_EQ(host_copy, nullptr);
    size_t rows_before = 0;
    dialog_run(record(), [&](HWND dlg) {
        rows_before = list_view_rows(ip_list_window).size();
        dlg_click(dlg, IDC_CLEAR_ALL);
        dlg_add_entry(dlg, "192.168.1.0/24");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(rows_before, 1u);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(1):'192.168.1.0'/'24'."}));
    EXPECT_EQ(white_list_texts(), lines({"192.168.1.0/24"}));
}

// The host stops the daemon while its dialog is open: the dialog works on and its lines move
// to the record, never through the released copy.
TEST_F(DialogNotStarted, ShutdownWhileOpenLeavesTheDialogWorking)
{
    ASSERT_EQ(_startup(record()), 1);
    connect_text("10.0.0.7");
    size_t rows_after = 99;
    dialog_run(record(), [&](HWND dlg) {
        _closedown();
        dlg_click(dlg, IDC_REFRESH);
        dlg_click(dlg, IDC_CLEAR_ALL);
        rows_after = list_view_rows(ip_list_window).size();
        dlg_add_entry(dlg, "192.168.1.0/24");
        dlg_click(dlg, IDOK);
    });
    EXPECT_EQ(host_copy, nullptr);
    EXPECT_EQ(rows_after, 0u);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(log_starting(" WL"), lines({"0/25  WL(1):'192.168.1.0'/'24'."}));
}

} // namespace
