// The configuration dialog.
#include "host/daemon.h"
#include "host/entry_points.h"

extern "C" int16_t __cdecl _configure(host_interface *record)
{
    if (record == nullptr) return 0;
    record->log_text(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "Tollgate config");
    return 1;
}
