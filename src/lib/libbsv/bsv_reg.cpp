// Hand-off of records to the in-memory readers. The reader registry fills
// these in; until it exists there are no readers and records go nowhere.
#include "libbsv/bsv.h"

int bsv_reg_log(void) { return 0; }

int bsv_reg_write(int, const void *, int) { return 0; }
