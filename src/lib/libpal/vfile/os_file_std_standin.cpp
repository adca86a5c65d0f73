// Stand-in until the file objects land.
int pl_file_std_init(void) { return -1; }
int pl_file_std_exit(void) { return -1; }
