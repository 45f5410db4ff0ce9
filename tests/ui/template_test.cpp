// The dialog template "ConfigBox" as Tollgate.dll carries it, read back byte by byte.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/resource.h"

namespace {

// One control of the template as compiled.
struct control {
    uint32_t style;
    uint32_t ex_style;
    int16_t x, y, cx, cy;
    uint16_t id;
    uint16_t class_ordinal; // 0 when the class is given by name
    std::string text;
    uint16_t extra; // bytes of creation data
};

struct dialog {
    uint32_t style;
    uint32_t ex_style;
    int16_t x, y, cx, cy;
    std::string menu, window_class, title;
    uint16_t point_size;
    std::string font;
    std::vector<control> controls;
};

// Reads the template's words; every read checks the bounds of the resource.
struct reader {
    const uint8_t *base;
    size_t size;
    size_t at = 0;
    bool ok = true;

    uint16_t word()
    {
        if (at + 2 > size) {
            ok = false;
            return 0;
        }
        uint16_t v;
        memcpy(&v, base + at, 2);
        at += 2;
        return v;
    }
    uint32_t dword() { return word() | (uint32_t)word() << 16; }
    // A NUL-terminated UTF-16 text (ASCII only in this template).
    std::string text()
    {
        std::string s;
        for (uint16_t c = word(); ok && c != 0; c = word()) s += c < 128 ? (char)c : '?';
        return s;
    }
    // A name-or-ordinal field: "#n" for an ordinal, the text otherwise.
    std::string name_or_ordinal()
    {
        uint16_t first = word();
        if (first == 0xFFFF) {
            std::string ordinal(1, '#');
            ordinal += std::to_string(word());
            return ordinal;
        }
        if (first == 0) return "";
        at -= 2;
        return text();
    }
    void align4() { at = (at + 3) & ~(size_t)3; }
};

bool parse(const uint8_t *data, size_t size, dialog *out)
{
    reader r{data, size};
    out->style = r.dword();
    out->ex_style = r.dword();
    uint16_t count = r.word();
    out->x = r.word(), out->y = r.word(), out->cx = r.word(), out->cy = r.word();
    out->menu = r.name_or_ordinal();
    out->window_class = r.name_or_ordinal();
    out->title = r.text();
    if (out->style & DS_SETFONT) {
        out->point_size = r.word();
        out->font = r.text();
    }
    for (uint16_t i = 0; i < count && r.ok; i++) {
        r.align4();
        control c;
        c.style = r.dword();
        c.ex_style = r.dword();
        c.x = r.word(), c.y = r.word(), c.cx = r.word(), c.cy = r.word();
        c.id = r.word();
        std::string cls = r.name_or_ordinal();
        c.class_ordinal = cls.size() > 1 && cls[0] == '#' ? (uint16_t)std::stoi(cls.substr(1)) : 0;
        c.text = r.name_or_ordinal();
        c.extra = r.word();
        r.at += c.extra;
        out->controls.push_back(c);
    }
    return r.ok;
}

// The template as it must be, control by control (tab order).
const control expected[] = {
    {BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 161, 174, 52, 14, IDCANCEL, RC_CLASS_BUTTON, "&Cancel / Close", 0},
    {BS_PUSHBUTTON | WS_TABSTOP, 0, 159, 17, 48, 14, IDC_REFRESH, RC_CLASS_BUTTON, "&Refresh", 0},
    {BS_PUSHBUTTON | WS_TABSTOP, 0, 159, 41, 48, 14, IDC_CLEAR_ALL, RC_CLASS_BUTTON, "Clear &All", 0},
    {BS_GROUPBOX, 0, 5, 8, 148, 188, 0xFFFF, RC_CLASS_BUTTON, " IP Address List ", 0},
    {SS_LEFT | WS_GROUP, 0, 228, 21, 92, 8, 0xFFFF, RC_CLASS_STATIC, "Timeout ClearTime (minutes):", 0},
    {ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0, 323, 18, 40, 14, IDC_CLEAR_TIME, RC_CLASS_EDIT, "", 0},
    {SS_LEFT | WS_GROUP, 0, 228, 39, 71, 8, 0xFFFF, RC_CLASS_STATIC, "AuthFailures to block:", 0},
    {ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0, 323, 36, 40, 14, IDC_AUTH_FAILURES, RC_CLASS_EDIT, "", 0},
    {BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_LEFT | WS_TABSTOP, 0, 227, 54, 104, 10, IDC_SHORT_TERM, RC_CLASS_BUTTON, "UseShortTerm blaclisting:", 0},
    {LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_BORDER | WS_VSCROLL | WS_TABSTOP, 0, 272, 70, 90, 100, IDC_WHITE_LIST, RC_CLASS_LISTBOX, "", 0},
    {BS_GROUPBOX, 0, 223, 8, 145, 188, 0xFFFF, RC_CLASS_BUTTON, " Setup ", 0},
    {SS_LEFT | WS_GROUP, 0, 228, 71, 33, 8, 0xFFFF, RC_CLASS_STATIC, "WhiteList:", 0},
    {BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 161, 150, 52, 14, IDOK, RC_CLASS_BUTTON, "&OK / Save", 0},
    {BS_PUSHBUTTON | WS_TABSTOP, 0, 233, 156, 33, 14, IDC_REMOVE, RC_CLASS_BUTTON, "Remove", 0},
    {BS_PUSHBUTTON | WS_TABSTOP, 0, 234, 174, 33, 14, IDC_ADD, RC_CLASS_BUTTON, "Add", 0},
    {ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0, 272, 174, 90, 14, IDC_WHITE_ENTRY, RC_CLASS_EDIT, "", 0},
    {SS_LEFT | WS_GROUP, 0, 156, 75, 64, 10, 0xFFFF, RC_CLASS_STATIC, "Tollgate daemon", 0},
    {SS_CENTER | WS_GROUP, 0, 156, 90, 64, 11, 0xFFFF, RC_CLASS_STATIC, "version 0.98", 0},
    {SS_CENTER | WS_GROUP, 0, 156, 105, 64, 9, 0xFFFF, RC_CLASS_STATIC, "", 0}, // the credit
};

class Template : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Tollgate.dll is built beside this program.
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
        ASSERT_GT(length, 0u);
        std::string dll(path, length);
        dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "Tollgate.dll";
        module = LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << dll;
        HRSRC found = FindResourceA(module, "CONFIGBOX", (LPCSTR)RT_DIALOG);
        ASSERT_NE(found, nullptr);
        size = SizeofResource(module, found);
        data = (const uint8_t *)LockResource(LoadResource(module, found));
        ASSERT_NE(data, nullptr);
        ASSERT_TRUE(parse(data, size, &parsed));
    }
    void TearDown() override
    {
        if (module) FreeLibrary(module);
    }

    HMODULE module = nullptr;
    const uint8_t *data = nullptr;
    DWORD size = 0;
    dialog parsed;
};

TEST_F(Template, IsAStandardTemplateNotTheExtendedForm)
{
    uint16_t first[2];
    memcpy(first, data, sizeof(first));
    EXPECT_FALSE(first[0] == 1 && first[1] == 0xFFFF); // DLGTEMPLATEEX begins 1, 0xFFFF
}

TEST_F(Template, DialogHeaderMatches)
{
    EXPECT_EQ(parsed.style, 0x80C800C0u);
    EXPECT_EQ(parsed.style, (uint32_t)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                       DS_SETFONT));
    EXPECT_EQ(parsed.ex_style, 0u);
    EXPECT_EQ(parsed.x, 0);
    EXPECT_EQ(parsed.y, 0);
    EXPECT_EQ(parsed.cx, 374);
    EXPECT_EQ(parsed.cy, 202);
    EXPECT_EQ(parsed.menu, "");
    EXPECT_EQ(parsed.window_class, "");
    EXPECT_EQ(parsed.title, " Tollgate Options");
    EXPECT_EQ(parsed.point_size, 8);
    EXPECT_EQ(parsed.font, "MS Sans Serif");
}

TEST_F(Template, EveryControlMatchesInTabOrder)
{
    const size_t count = sizeof(expected) / sizeof(expected[0]);
    ASSERT_EQ(parsed.controls.size(), count);
    for (size_t i = 0; i < count; i++) {
        const control &want = expected[i], &got = parsed.controls[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(got.style, want.style | WS_CHILD | WS_VISIBLE) << std::hex << got.style;
        EXPECT_EQ(got.ex_style, 0u);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.class_ordinal, want.class_ordinal);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.extra, 0);
        if (i + 1 < count) {
            EXPECT_EQ(got.text, want.text);
        }
    }
    // The credit line's words are ours; it only has to say something.
    EXPECT_FALSE(parsed.controls.back().text.empty());
}

TEST_F(Template, NameIsFoundWithoutRegardToCase)
{
    EXPECT_NE(FindResourceA(module, CONFIG_DIALOG_NAME, (LPCSTR)RT_DIALOG), nullptr);
}

} // namespace
