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
    // The state file's writes: its temporary file made, written, flushed and moved into place.
    HANDLE(WINAPI *create_file)(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                                DWORD disposition, DWORD flags, HANDLE template_file);
    BOOL(WINAPI *write_file)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED);
    BOOL(WINAPI *flush_file)(HANDLE file);
    BOOL(WINAPI *move_file)(LPCSTR from, LPCSTR to, DWORD flags);
};
extern os_calls os;
