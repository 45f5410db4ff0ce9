// The operating-system call table in force: the real calls.
#include "host/base/os.h"

#include <cstdlib>

os_calls os = {malloc,      free,      CreateThread,     CreateEventA, MessageBoxA, Sleep,
               CreateFileA, WriteFile, FlushFileBuffers, MoveFileExA};
