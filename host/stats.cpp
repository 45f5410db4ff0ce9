// Registration of the module's statistics at the host: find what exists, create what is missing.
#include "host/stats.h"

#include <cstring>

#include "host/base/host_interface.h"

static const char STAT_MODULE_NAME[] = "Tollgate";
// Steps after which a walk is taken as ended: a host whose walk never returns -1 must not hang
// start-up. Far more modules and categories than any host keeps.
enum : int32_t { STAT_WALK_MAX = 100000 };

// One step of a walk over the host's names: the handle after `previous` (-1 starts the walk)
// with its name copied into `name`, or -1 at the end. `module` is the module whose categories
// are walked; the walk over modules ignores it.
typedef int32_t stats_next_fn(int32_t module, int32_t previous, char *name);

static int32_t stats_module_next(int32_t, int32_t previous, char *name)
{
    return host_copy->stat_module_next(previous, name);
}

static int32_t stats_category_next(int32_t module, int32_t previous, char *name)
{
    int32_t unused[3];
    return host_copy->stat_category_next(module, previous, name, &unused[0], &unused[1],
                                         &unused[2]);
}

// The handle of the first name in the walk `next` that equals `wanted` (exact,
// case-sensitive), or -1 when the walk ends without it.
static int32_t stats_walk(stats_next_fn *next, int32_t module, const char *wanted)
{
    char name[HOST_STAT_NAME_SIZE];
    int32_t handle = -1;
    for (int32_t step = 0; step < STAT_WALK_MAX; step++) {
        name[0] = '\0';
        handle = next(module, handle, name);
        if (handle == -1) break;
        name[sizeof(name) - 1] = '\0'; // a host that filled the buffer still ends the text
        if (strcmp(name, wanted) == 0) return handle;
    }
    return -1;
}

// The handle of the module named "Tollgate", created when the host has none; 0 when the
// creation failed.
static int32_t stats_find_module()
{
    int32_t handle = stats_walk(stats_module_next, 0, STAT_MODULE_NAME);
    return handle != -1 ? handle : host_copy->stat_module_create(STAT_MODULE_NAME);
}

// The handle of the category `wanted` of `module`, created with `kind` when missing.
static int32_t stats_find_category(int32_t module, const char *wanted, int32_t kind)
{
    int32_t handle = stats_walk(stats_category_next, module, wanted);
    return handle != -1 ? handle : host_copy->stat_category_create(module, wanted, 1, 0, 4, kind);
}

void stats_register()
{
    int32_t module = stats_find_module();
    if (module == 0) {
        host_log_text(LOG_TYPE_DAEMON, LOG_PRIO_ERROR, "Unable to register Tollgate statistic");
        return;
    }
    stat_blocked = stats_find_category(module, "Blocked hosts", STAT_KIND_COUNTER);
    if (stat_blocked == 0)
        host_log_text(LOG_TYPE_DAEMON, LOG_PRIO_ERROR,
                      "Tollgate: Unable to register Blocked category");
    stat_max_list = stats_find_category(module, "MaxListSize", STAT_KIND_PEAK);
    if (stat_max_list == 0)
        host_log_text(LOG_TYPE_DAEMON, LOG_PRIO_ERROR,
                      "Tollgate: Unable to register MaxListSize category");
}
