// A fresh, empty working directory for one test, so that no Tollgate.ini leaks between tests.
#pragma once
#include <windows.h>

#include <string>

class scoped_workdir {
public:
    // `prefix` names the suite in the directory's name, to tell leftovers apart.
    explicit scoped_workdir(const char *prefix = "tollgate-test-")
    {
        char temp[MAX_PATH], old[MAX_PATH];
        GetTempPathA(sizeof(temp), temp);
        GetCurrentDirectoryA(sizeof(old), old);
        previous_ = old;
        path_ = std::string(temp) + prefix + std::to_string(GetCurrentProcessId()) +
                "-" + std::to_string(GetTickCount());
        CreateDirectoryA(path_.c_str(), nullptr);
        ok_ = SetCurrentDirectoryA(path_.c_str()) != 0;
    }
    ~scoped_workdir()
    {
        SetCurrentDirectoryA(previous_.c_str());
        DeleteFileA((path_ + "\\Tollgate.ini").c_str());
        RemoveDirectoryA(path_.c_str());
    }
    scoped_workdir(const scoped_workdir &) = delete;
    scoped_workdir &operator=(const scoped_workdir &) = delete;

    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string previous_;
    std::string path_;
    bool ok_ = false;
};
