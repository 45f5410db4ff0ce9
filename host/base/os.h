// The operating-system calls whose failure the module must survive, routed through one table so
// that tests can make them fail. Production never changes the table.
//
// Owns: os.
// Threads: read by start-up, shutdown, the sweeper and the dialog's thread; tests write it
// before they start the module.
#pragma once
#include <windows.h>

#include <cstddef>

struct os_calls {
    void *(*alloc)(size_t size);
    void (*release)(void *block);
    HANDLE(WINAPI *create_thread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD);
    HANDLE(WINAPI *create_event)(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial,
                                 LPCSTR name);
    int(WINAPI *message_box)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
    void(WINAPI *sleep)(DWORD milliseconds);
};
extern os_calls os;
