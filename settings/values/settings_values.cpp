// The settings in force, with the values they hold until a settings file is loaded.
#include "settings/values/settings.h"

// See the header for who reads and writes them.
settings_t settings;
char settings_state_path[SETTINGS_STATE_PATH_SIZE];
settings_shared_t settings_shared;
settings_list_files_t settings_list_files;
