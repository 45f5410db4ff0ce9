// The settings in force, with the values they hold until a settings file is loaded.
#include "settings/values/settings.h"

settings_t settings; // see the header for who reads and writes it
