// The one application descriptor of the process (zero until the program
// fills it).
#include "libpal/basic/pl_app.h"

app_t g_app;
