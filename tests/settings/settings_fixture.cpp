// The per-test frame of the settings-file tests: directories, files, log and list views.
#include "tests/settings/settings_fixture.h"

#include <cstdio>

#include "host/base/ip_address.h"

static int fresh_dir_serial; // test thread only

// Deletes a directory tree made by a test (files and directories only, no links).
static void remove_tree(const std::string &dir)
{
    WIN32_FIND_DATAA found;
    HANDLE walk = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (walk != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) remove_tree(path);
            else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(walk, &found));
        FindClose(walk);
    }
    RemoveDirectoryA(dir.c_str());
}

void SettingsFileTest::SetUp()
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    std::string base = temp;
    if (!base.empty() && base.back() == '\\') base.pop_back();
    // Tests run as parallel processes in one Wine prefix: the process id keeps roots apart.
    char name[64];
    snprintf(name, sizeof name, "tgs%lu", (unsigned long)GetCurrentProcessId());
    root = base + "\\" + name;
    remove_tree(root);
    ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr)) << root;
    reset_module();
    enter_fresh_dir();
}

void SettingsFileTest::TearDown()
{
    host_copy = nullptr;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    SetCurrentDirectoryA(temp);
    remove_tree(root);
}

void SettingsFileTest::reset_module()
{
    host_side_reset();
    host_copy = host_side_record();
    white_clear();
    settings_reset();
    settings_path[0] = '\0';
}

std::string SettingsFileTest::enter_fresh_dir(const std::string &name, const std::string &parent)
{
    char serial[16];
    snprintf(serial, sizeof serial, "d%d", ++fresh_dir_serial);
    std::string leaf = name.empty() ? std::string(serial) : name;
    std::string dir = (parent.empty() ? root : parent) + "\\" + leaf;
    EXPECT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
    EXPECT_TRUE(SetCurrentDirectoryA(dir.c_str())) << dir;
    return dir;
}

void SettingsFileTest::write_ini(const std::string &text)
{
    FILE *file = fopen("Tollgate.ini", "wb");
    ASSERT_NE(file, nullptr);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

std::string SettingsFileTest::read_ini()
{
    std::string text;
    FILE *file = fopen("Tollgate.ini", "rb");
    if (file == nullptr) return "<no file>";
    char block[512];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    fclose(file);
    return text;
}

bool SettingsFileTest::ini_exists()
{
    return GetFileAttributesA("Tollgate.ini") != INVALID_FILE_ATTRIBUTES;
}

std::string SettingsFileTest::ini_value(const char *section, const char *key)
{
    std::string path = working_dir() + "\\Tollgate.ini";
    char value[512];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, path.c_str());
    return value;
}

std::string SettingsFileTest::working_dir()
{
    char dir[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof dir, dir);
    return std::string(dir, length < sizeof dir ? length : 0);
}

std::vector<std::string> SettingsFileTest::log_lines()
{
    std::vector<std::string> lines;
    for (const host_log_line &line : host_side_log())
        lines.push_back(logged(line.type, line.priority, line.text));
    return lines;
}

std::vector<std::string> SettingsFileTest::white_entries()
{
    std::vector<std::string> entries;
    for (int32_t i = 0; i < white_count(); i++) {
        uint32_t ip, mask;
        white_entry(i, &ip, &mask);
        in_addr address;
        address.s_addr = ip;
        entries.push_back(std::string(inet_ntoa(address)) + "/" +
                          std::to_string(mask_to_prefix(mask)));
    }
    return entries;
}

std::string ini_text(std::initializer_list<const char *> lines)
{
    std::string text;
    for (const char *line : lines) text += std::string(line) + "\r\n";
    return text;
}

std::string logged(int32_t type, int32_t priority, const std::string &text)
{
    return std::to_string(type) + "/" + std::to_string(priority) + " " + text;
}
