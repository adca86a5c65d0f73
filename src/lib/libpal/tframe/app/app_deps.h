// Services of other platform modules that the framework's start-up needs,
// behind local names so the start-up reads the same whichever module
// provides them.
#pragma once

// Configures the default log handle from the [log] section of `path`.
void app_log_ini_file(const char *path);
