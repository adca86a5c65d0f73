// The status message table (rows {message, code}, NULL-closed).
#pragma once
struct pl_verr_row {
    const char *msg;
    int code;
};
extern const pl_verr_row g_verr_tab[];
extern const int g_verr_tab_rows;
