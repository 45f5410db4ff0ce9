// The address list view inside the open dialog: its window, its columns, its rows, and the
// box shown when the host's process has no list view class.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "host/daemon.h"
#include "mailhost/host_side.h"
#include "tests/ui/dialog_driver.h"
#include "tracking/ip_db.h"
#include "tracking/store_seam.h"
#include "host/base/ip_address.h"
#include "ui/ip_list.h"
#include "ui/resource.h"

namespace {

using rows = std::vector<std::vector<std::string>>;

class ListView : public DialogFixture {
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        load_common_controls();
        play_started();
    }
    // Connections from `address`, the last `seconds_ago` before the tests' now.
    static void connect(const char *address, int times, int32_t seconds_ago)
    {
        int32_t now = test_now.load();
        test_now.store(now - seconds_ago);
        for (int i = 0; i < times; i++) connect_text(address);
        test_now.store(now);
    }
    static rows sorted(rows r)
    {
        std::sort(r.begin(), r.end());
        return r;
    }
};

// What the driver saw of the list view window.
struct list_facts {
    HWND parent;
    LONG_PTR id;
    DWORD style;
    DWORD ex_style;
    DWORD list_ex_style;
    RECT place; // in the dialog's client pixels
    int columns;
    std::vector<std::string> titles;
    std::vector<int> widths;
    std::vector<int> formats;
    size_t rows;
};

list_facts read_list(HWND list)
{
    list_facts f{};
    f.parent = GetParent(list);
    f.id = GetWindowLongPtrA(list, GWLP_ID);
    f.style = (DWORD)GetWindowLongA(list, GWL_STYLE);
    f.ex_style = (DWORD)GetWindowLongA(list, GWL_EXSTYLE);
    f.list_ex_style = (DWORD)SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    GetWindowRect(list, &f.place);
    MapWindowPoints(nullptr, f.parent, (POINT *)&f.place, 2);
    HWND header = (HWND)SendMessageA(list, LVM_GETHEADER, 0, 0);
    f.columns = (int)SendMessageA(header, HDM_GETITEMCOUNT, 0, 0);
    for (int i = 0; i < f.columns; i++) {
        char title[64] = "";
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.pszText = title;
        column.cchTextMax = sizeof(title);
        SendMessageA(list, LVM_GETCOLUMNA, i, (LPARAM)&column);
        f.titles.push_back(title);
        f.widths.push_back(column.cx);
        f.formats.push_back(column.fmt & LVCFMT_JUSTIFYMASK);
    }
    f.rows = list_view_rows(list).size();
    return f;
}

// The list view's facts and rows as the dialog opened with `record` shows them.
void read_list_and_rows(host_interface *record, list_facts *f, rows *seen)
{
    dialog_run(record, [&](HWND) {
        *f = read_list(ip_list_window);
        *seen = list_view_rows(ip_list_window);
    });
}

TEST_F(ListView, EmptyTableShowsOnlyTheThreeColumnTitles)
{
    list_facts f{};
    HWND dialog = nullptr;
    dialog_run(record(), [&](HWND dlg) {
        dialog = dlg;
        f = read_list(ip_list_window);
    });
    EXPECT_EQ(f.parent, dialog);
    EXPECT_EQ(f.id, IDC_IP_LIST);
    EXPECT_EQ(f.style & ~(DWORD)WS_VSCROLL & ~(DWORD)WS_HSCROLL, 0x503301A9u & ~0x00300000u);
    EXPECT_EQ(f.ex_style & ~(DWORD)(WS_EX_CLIENTEDGE | WS_EX_NOPARENTNOTIFY), 0u);
    EXPECT_EQ(f.list_ex_style, 0x21u);
    EXPECT_EQ(f.place.left, 14);
    EXPECT_EQ(f.place.top, 30);
    EXPECT_EQ(f.place.right - f.place.left, 210);
    EXPECT_EQ(f.place.bottom - f.place.top, 282);
    EXPECT_EQ(f.columns, 3);
    EXPECT_EQ(f.titles, std::vector<std::string>({"IP address", "Conns", "Age (s)"}));
    EXPECT_EQ(f.widths, std::vector<int>({93, 47, 70}));
    EXPECT_EQ(f.formats, std::vector<int>({LVCFMT_LEFT, LVCFMT_LEFT, LVCFMT_LEFT}));
    EXPECT_EQ(f.rows, 0u);
}

// A table larger than 48 slots is listed on demand, every held address a row in slot order.
TEST_F(ListView, LargeTableListsEveryHeldAddressOnDemand)
{
    ASSERT_NE(test_table_publish(4096), nullptr);
    for (int n = 0; n < 1000; n++) {
        std::string address = "10.5." + std::to_string(n / 256) + "." + std::to_string(n % 256);
        db_restore(db_current(), ip_parse(address.c_str()), (uint16_t)(n % 7 + 1),
                   test_now.load() - n);
    }
    DWORD style = 0;
    rows seen;
    dialog_run(record(), [&](HWND) {
        style = (DWORD)GetWindowLongA(ip_list_window, GWL_STYLE);
        seen = list_view_rows(ip_list_window);
    });
    EXPECT_TRUE(style & LVS_OWNERDATA);
    ASSERT_EQ(seen.size(), 1000u);
    EXPECT_EQ(seen[0], std::vector<std::string>({"10.5.0.0", "1", "0"}));
    EXPECT_EQ(seen[999], std::vector<std::string>({"10.5.3.231", "6", "999"}));
}

// Each row's count and age belong to its own address, whatever order the control keeps; a
// clock set back shows a negative age.
TEST_F(ListView, RowsShowAddressCountAndAgeOfTheirOwnSlot)
{
    connect("10.0.0.7", 3, 125);
    connect("10.0.0.8", 1, 10);
    connect("192.168.200.201", 2, -5);
    connect("10.0.0.10", 4, 0);
    rows seen;
    dialog_run(record(), [&](HWND) { seen = list_view_rows(ip_list_window); });
    EXPECT_EQ(sorted(seen), sorted(rows({{"10.0.0.7", "3", "125"},
                                         {"10.0.0.8", "1", "10"},
                                         {"192.168.200.201", "2", "-5"},
                                         {"10.0.0.10", "4", "0"}})));
}

// While repeat offenders are remembered a fourth column shows each row's offences.
TEST_F(ListView, OffencesColumnWhileRepeatOffendersAreRemembered)
{
    settings.repeat_factor = 2;
    connect("10.0.0.7", 6, 30); // the sixth refused: offence 1
    connect("10.0.0.8", 2, 10);
    list_facts f{};
    rows seen;
    read_list_and_rows(record(), &f, &seen);
    EXPECT_EQ(f.titles, std::vector<std::string>({"IP address", "Conns", "Age (s)", "Offences"}));
    EXPECT_EQ(f.widths, std::vector<int>({93, 47, 50, 58}));
    EXPECT_EQ(sorted(seen), sorted(rows({{"10.0.0.7", "5", "30", "1"}, {"10.0.0.8", "2", "10", "0"}})));
}

// While logins are trusted a last column marks the trusted addresses, after the offences when
// those are shown too; in an ordinary list view and in one that asks for its rows alike.
TEST_F(ListView, TrustedColumnMarksTrustedAddressesWhileLoginsAreTrusted)
{
    settings.repeat_factor = 2;
    settings.trust_days = 1;
    for (int32_t slots : {(int32_t)DB_SLOTS, 4096}) {
        ASSERT_NE(test_table_publish(slots), nullptr);
        db_set_trusted(db_current(), db_table_make(DB_SLOTS, malloc, free, true), 32);
        decision_login(db_current(), ip_parse("10.0.0.7"));
        connect("10.0.0.7", 1, 30);
        connect("10.0.0.8", 2, 10);
        list_facts f{};
        rows seen;
        read_list_and_rows(record(), &f, &seen);
        EXPECT_EQ(f.titles, std::vector<std::string>({"IP address", "Conns", "Age (s)", "Offences",
                                                      "Trusted"}));
        EXPECT_EQ(sorted(seen), sorted(rows({{"10.0.0.7", "1", "30", "0", "yes"},
                                             {"10.0.0.8", "2", "10", "0", ""}})));
    }
}

TEST_F(ListView, FullTableShowsEverySlotOnce)
{
    rows expected;
    for (int i = 1; i <= DB_SLOTS; i++) {
        std::string address = "10.1.0." + std::to_string(i);
        connect(address.c_str(), 1 + i % 5, i);
        expected.push_back({address, std::to_string(1 + i % 5), std::to_string(i)});
    }
    rows seen;
    dialog_run(record(), [&](HWND) { seen = list_view_rows(ip_list_window); });
    EXPECT_EQ(sorted(seen), sorted(expected));
}

std::atomic<int> clock_reads;
int32_t counting_clock()
{
    clock_reads++;
    return test_now.load();
}

TEST_F(ListView, EachRefreshReadsTheClockOnce)
{
    connect("10.0.0.7", 1, 1);
    connect("10.0.0.8", 1, 2);
    connect("10.0.0.9", 1, 3);
    int opening = -1, refresh = -1;
    clock_reads = 0;
    db_clock = counting_clock;
    dialog_run(record(), [&](HWND dlg) {
        opening = clock_reads.exchange(0);
        dlg_click(dlg, IDC_REFRESH);
        refresh = clock_reads.exchange(0);
    });
    EXPECT_EQ(opening, 1);
    EXPECT_EQ(refresh, 1);
}

TEST_F(ListView, RefreshShowsTheTableAsItIsNow)
{
    rows before, after;
    dialog_run(record(), [&](HWND dlg) {
        before = list_view_rows(ip_list_window);
        connect_text("10.0.0.7");
        connect_text("10.0.0.7");
        after = list_view_rows(ip_list_window); // a snapshot: not followed yet
        EXPECT_EQ(after.size(), 0u);
        dlg_click(dlg, IDC_REFRESH);
        after = list_view_rows(ip_list_window);
    });
    EXPECT_EQ(before.size(), 0u);
    EXPECT_EQ(after, rows({{"10.0.0.7", "2", "0"}}));
}

TEST_F(ListView, ClearAllEmptiesTheList)
{
    connect("10.0.0.7", 2, 5);
    connect("10.0.0.8", 1, 5);
    size_t before = 0, after = 99;
    dialog_run(record(), [&](HWND dlg) {
        before = list_view_rows(ip_list_window).size();
        dlg_click(dlg, IDC_CLEAR_ALL);
        after = list_view_rows(ip_list_window).size();
    });
    EXPECT_EQ(before, 2u);
    EXPECT_EQ(after, 0u);
    EXPECT_EQ(db_held(db_current()), 0);
}

// Held networks follow the addresses as rows of their own; "Clear All" empties both tables.
TEST_F(ListView, NetworkRowsFollowTheAddressesAndClearAllEmptiesThem)
{
    test_table_publish();
    test_count_networks(24, 20);
    connect("10.1.2.7", 2, 30);
    connect("10.1.2.8", 1, 5);
    rows seen, cleared;
    dialog_run(record(), [&](HWND dlg) {
        seen = list_view_rows(ip_list_window);
        dlg_click(dlg, IDC_CLEAR_ALL);
        cleared = list_view_rows(ip_list_window);
    });
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen.back(), std::vector<std::string>({"10.1.2.0/24", "3", "5"}));
    EXPECT_EQ(cleared.size() + (size_t)db_held(db_networks(db_current())), 0u);
    test_table_publish();
}

// The handle outlives the dialog (naming a destroyed window) until the next opening replaces it.
TEST_F(ListView, WindowIsReplacedAtEachOpening)
{
    EXPECT_EQ(ip_list_window, nullptr);
    HWND first = nullptr, second = nullptr;
    bool first_alive_in_second = true;
    dialog_run(record(), [&](HWND) { first = ip_list_window; });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ip_list_window, first);
    EXPECT_FALSE(IsWindow(first));
    dialog_run(record(), [&](HWND) {
        second = ip_list_window;
        first_alive_in_second = IsWindow(first) && first != second;
    });
    EXPECT_NE(second, nullptr);
    EXPECT_FALSE(first_alive_in_second);
}

using lines = std::vector<std::string>;

// The context menu offers its two items; "Refuse now" holds every selected address refused
// from now, "Forget" frees every selected one as a login would; rows not selected stay as they
// were. One log line per address, and the list shows the table as it is afterwards.
TEST_F(ListView, MenuRefusesAndForgetsEverySelectedRow)
{
    connect("10.0.0.7", 3, 125);
    connect("10.0.0.8", 1, 10);
    connect("10.0.0.9", 2, 50);
    lines items;
    rows refused, forgotten;
    dialog_run(record(), [&](HWND dlg) {
        list_view_select(ip_list_window, {"10.0.0.7", "10.0.0.8"});
        items = list_menu_choose(dlg, ip_list_window, 1);
        dlg_wait_for([] { return log_starting("Tollgate: 10.0.0.").size() == 2; });
        refused = sorted(list_view_rows(ip_list_window));
        list_view_select(ip_list_window, {"10.0.0.7", "10.0.0.9"});
        list_menu_choose(dlg, ip_list_window, 0);
        dlg_wait_for([] { return log_starting("Tollgate: 10.0.0.").size() == 4; });
        forgotten = list_view_rows(ip_list_window);
    });
    EXPECT_EQ(items, lines({"Forget", "Refuse now"}));
    EXPECT_EQ(refused, rows({{"10.0.0.7", "30", "0"}, {"10.0.0.8", "30", "0"}, {"10.0.0.9", "2", "50"}}));
    EXPECT_EQ(forgotten, rows({{"10.0.0.8", "30", "0"}}));
    lines logged = log_starting("Tollgate: 10.0.0.");
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(logged, lines({"0/15 Tollgate: 10.0.0.7 forgotten by the administrator",
                             "0/15 Tollgate: 10.0.0.7 refused by the administrator",
                             "0/15 Tollgate: 10.0.0.8 refused by the administrator",
                             "0/15 Tollgate: 10.0.0.9 forgotten by the administrator"}));
}

// "Forget" on a network row forgets the network in the shared store too, so that every server
// lets it in again.
TEST_F(ListView, ForgetOnANetworkRowReachesTheStore)
{
    static std::vector<std::string> forgotten;
    static const store_backend store = {
        [](const store_request *, store_answer *) { return (int32_t)STORE_NO_ANSWER; },
        [](uint32_t, uint32_t, int32_t) { forgotten.push_back("an address"); },
        [](uint32_t network, int32_t bits) {
            char text[IP_TEXT_SIZE];
            ip_format(network, text);
            forgotten.push_back(text + ("/" + std::to_string(bits)));
        },
        [](const store_request *) {}, [](const store_request *) {}, nullptr, nullptr};
    test_table_publish();
    test_count_networks(24, 20);
    connect("10.1.2.7", 2, 30);
    store_install(&store);
    dialog_run(record(), [&](HWND dlg) {
        list_view_select(ip_list_window, {"10.1.2.0/24"});
        list_menu_choose(dlg, ip_list_window, 0);
        dlg_wait_for([] { return !log_starting("Tollgate: 10.1.2.0/24").empty(); });
    });
    store_install(nullptr);
    EXPECT_EQ(forgotten, std::vector<std::string>({"10.1.2.0/24"}));
    test_table_publish();
}

// The Delete key forgets the selected rows, in the ordinary list and in the one a large table
// fills on demand.
TEST_F(ListView, DeleteKeyForgetsTheSelectedRows)
{
    for (int32_t slots : {(int32_t)DB_SLOTS, 4096}) {
        SCOPED_TRACE(slots);
        host_side_reset();
        ASSERT_NE(test_table_publish(slots), nullptr);
        for (const char *address : {"10.0.0.7", "10.0.0.8", "10.0.0.9"}) connect(address, 1, 10);
        rows after;
        dialog_run(record(), [&](HWND) {
            list_view_select(ip_list_window, {"10.0.0.7", "10.0.0.9"});
            SendMessageA(ip_list_window, WM_KEYDOWN, VK_DELETE, 0);
            after = list_view_rows(ip_list_window);
        });
        EXPECT_EQ(after, rows({{"10.0.0.8", "1", "10"}}));
        lines logged = log_starting("Tollgate: 10.0.0.");
        std::sort(logged.begin(), logged.end());
        EXPECT_EQ(logged, lines({"0/15 Tollgate: 10.0.0.7 forgotten by the administrator",
                                 "0/15 Tollgate: 10.0.0.9 forgotten by the administrator"}));
    }
}

// A process without the list view class: the box, once per opening, and a dialog that works on
// without its list. Wine's window manager loads comctl32 (and so registers the class) the first
// time a process asks for one of its classes, unless comctl32 is already loaded; so the class is
// taken away after loading it, which leaves the process as a host that never registered it.
class ListViewMissingClass : public DialogFixture {
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        HMODULE comctl = LoadLibraryA("comctl32.dll");
        ASSERT_NE(comctl, nullptr);
        ASSERT_TRUE(UnregisterClassA(IP_LIST_CLASS, comctl));
        WNDCLASSA probe;
        ASSERT_FALSE(GetClassInfoA(nullptr, IP_LIST_CLASS, &probe));
        play_started();
    }
};

TEST_F(ListViewMissingClass, BoxAtEachOpeningAndTheDialogWorksOn)
{
    connect_text("10.0.0.7");
    bool box_seen = false, open_after = false;
    HWND list = (HWND)1;
    int32_t held_after = -1;
    EXPECT_EQ(dialog_run_after_box(record(),
                                   [&](HWND dlg) {
                                       list = ip_list_window;
                                       dlg_click(dlg, IDC_REFRESH);
                                       dlg_click(dlg, IDC_CLEAR_ALL);
                                       held_after = db_held(db_current());
                                       open_after = dlg_is_open(dlg);
                                   },
                                   &box_seen),
              1);
    EXPECT_TRUE(box_seen);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(held_after, 0);
    EXPECT_TRUE(open_after);
    std::vector<box_call> calls = box_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].owner, nullptr);
    EXPECT_EQ(calls[0].text, "Unable to create IP list window");
    EXPECT_FALSE(calls[0].has_caption);
    EXPECT_EQ(calls[0].type, (UINT)MB_OK);

    box_seen = false;
    dialog_run_after_box(record(), [](HWND) {}, &box_seen);
    EXPECT_TRUE(box_seen);
    EXPECT_EQ(box_calls().size(), 2u);
}

} // namespace
