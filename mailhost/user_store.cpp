// The mail host's users and their passwords.
#include "mailhost/user_store.h"

#include <cstdio>
#include <map>

static std::map<std::string, std::string> user_table; // main thread before serving; then read-only

void user_store_set_defaults()
{
    user_table = {{"alice", "wonderland"}, {"bob", "builder"}};
}

bool user_store_parse(const std::string &text, std::string *error)
{
    std::map<std::string, std::string> users;
    size_t at = 0;
    int number = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            *error = "line " + std::to_string(number) + ": expected name:password";
            return false;
        }
        users[line.substr(0, colon)] = line.substr(colon + 1);
    }
    user_table = users;
    return true;
}

bool user_store_load(const std::string &path, std::string *error)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, n);
    fclose(file);
    if (!user_store_parse(text, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

bool user_store_password(const std::string &name, std::string *password)
{
    auto found = user_table.find(name);
    if (found == user_table.end()) return false;
    *password = found->second;
    return true;
}

int user_store_count() { return (int)user_table.size(); }
