// pl_getopt: a reentrant option parser with the GNU rules (clusters,
// optional and required arguments, permutation, "--", long options with
// unique-prefix matching). All state lives in the caller's context.
#pragma once

struct pl_option {
    const char *name;
    int has_arg; // 0 none, 1 required, 2 optional
    int *flag;   // when set, val is stored there and 0 returned
    int val;
};

struct pl_getopt_t {
    char *optarg;
    int optind;
    int opterr;
    int optopt;
    char *nextchar;
    char *posixly_correct;
    int first_nonopt;
    int last_nonopt;
    int initialized;
    int ordering; // 0 stop at first non-option, 1 permute, 2 return in order
};

void pl_getopt_init(pl_getopt_t *ctx);
// malloc'd and initialised context (free with pl_getopt_free); NULL on failure.
pl_getopt_t *pl_getopt_new(void);
void pl_getopt_free(pl_getopt_t *ctx);
// Next option character, -1 at the end, '?' (or ':') on an error.
// argv's pointers may be reordered in place.
int pl_getopt(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring);
int pl_getopt_long(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring, const pl_option *longopts,
                   int *longindex);
int pl_getopt_long_only(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring,
                        const pl_option *longopts, int *longindex);
int pl_getopt_internal(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring,
                       const pl_option *longopts, int *longindex, int long_only);
void pl_getopt_exchange(pl_getopt_t *ctx, char **argv);
