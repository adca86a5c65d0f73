// Reentrant option parser.
#include "libpal/basic/pl_getopt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define W_INDENT "\t\t\t\t\t\t\t\t\t\t\t  "

void pl_getopt_init(pl_getopt_t *ctx)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->optind = 1;
    ctx->opterr = 1;
    ctx->optopt = '?';
}

pl_getopt_t *pl_getopt_new(void)
{
    pl_getopt_t *ctx = (pl_getopt_t *)malloc(sizeof(pl_getopt_t));
    if (ctx)
        pl_getopt_init(ctx);
    return ctx;
}

void pl_getopt_free(pl_getopt_t *ctx) { free(ctx); }

void pl_getopt_exchange(pl_getopt_t *ctx, char **argv)
{
    int bottom = ctx->first_nonopt;
    int middle = ctx->last_nonopt;
    int top = ctx->optind;
    // Swap the shorter block with the facing end of the longer one until
    // the two blocks have traded places.
    while (top > middle && middle > bottom) {
        if (top - middle > middle - bottom) {
            int len = middle - bottom;
            for (int i = 0; i < len; i++) {
                char *t = argv[bottom + i];
                argv[bottom + i] = argv[top - (middle - bottom) + i];
                argv[top - (middle - bottom) + i] = t;
            }
            top -= len;
        } else {
            int len = top - middle;
            for (int i = 0; i < len; i++) {
                char *t = argv[bottom + i];
                argv[bottom + i] = argv[middle + i];
                argv[middle + i] = t;
            }
            bottom += len;
        }
    }
    ctx->first_nonopt += ctx->optind - ctx->last_nonopt;
    ctx->last_nonopt = ctx->optind;
}

static bool is_nonopt(char *const *argv, int i) { return argv[i][0] != '-' || argv[i][1] == '\0'; }

// Long option at ctx->nextchar; `dashes` is how the element began ("--" or "-").
static int parse_long(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring,
                      const pl_option *longopts, int *longindex, bool print, bool colon_first, bool two_dashes)
{
    char *name = ctx->nextchar;
    char *end = name;
    while (*end && *end != '=')
        ++end;
    size_t nlen = (size_t)(end - name);
    const pl_option *found = nullptr;
    int index = -1;
    bool exact = false, ambig = false;
    for (int i = 0; longopts[i].name; ++i) {
        if (strncmp(longopts[i].name, name, nlen) != 0)
            continue;
        if (strlen(longopts[i].name) == nlen) {
            found = &longopts[i];
            index = i;
            exact = true;
            break;
        }
        if (!found) {
            found = &longopts[i];
            index = i;
        } else {
            ambig = true;
        }
    }
    if (ambig && !exact) {
        if (print)
            fprintf(stderr, "%s: option `%s' is ambiguous\n", argv[0], argv[ctx->optind]);
        ctx->nextchar += strlen(ctx->nextchar);
        ctx->optind++;
        ctx->optopt = 0;
        return '?';
    }
    if (found) {
        ctx->optind++;
        if (*end) {
            if (found->has_arg) {
                ctx->optarg = end + 1;
            } else {
                if (print) {
                    if (two_dashes)
                        fprintf(stderr, W_INDENT "%s: option `--%s' doesn't allow an argument\n", argv[0], found->name);
                    else
                        fprintf(stderr, W_INDENT "%s: option `%c%s' doesn't allow an argument\n", argv[0],
                                argv[ctx->optind - 1][0], found->name);
                }
                ctx->nextchar += strlen(ctx->nextchar);
                ctx->optopt = found->val;
                return '?';
            }
        } else if (found->has_arg == 1) {
            if (ctx->optind < argc) {
                ctx->optarg = argv[ctx->optind++];
            } else {
                if (print)
                    fprintf(stderr, "%s: option `%s' requires an argument\n", argv[0], argv[ctx->optind - 1]);
                ctx->nextchar += strlen(ctx->nextchar);
                ctx->optopt = found->val;
                return colon_first ? ':' : '?';
            }
        }
        ctx->nextchar += strlen(ctx->nextchar);
        if (longindex)
            *longindex = index;
        if (found->flag) {
            *found->flag = found->val;
            return 0;
        }
        return found->val;
    }
    (void)optstring;
    if (print) {
        if (two_dashes)
            fprintf(stderr, "%s: unrecognized option `--%s'\n", argv[0], ctx->nextchar);
        else
            fprintf(stderr, "%s: unrecognized option `%c%s'\n", argv[0], argv[ctx->optind][0], ctx->nextchar);
    }
    ctx->nextchar = (char *)"";
    ctx->optind++;
    ctx->optopt = 0;
    return '?';
}

int pl_getopt_internal(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring,
                       const pl_option *longopts, int *longindex, int long_only)
{
    if (argc < 1)
        return -1;
    ctx->optarg = nullptr;
    if (ctx->optind == 0 || !ctx->initialized) {
        if (ctx->optind == 0)
            ctx->optind = 1;
        ctx->nextchar = nullptr;
        ctx->first_nonopt = ctx->last_nonopt = ctx->optind;
        ctx->posixly_correct = getenv("POSIXLY_CORRECT");
        if (optstring[0] == '-')
            ctx->ordering = 2;
        else if (optstring[0] == '+')
            ctx->ordering = 0;
        else
            ctx->ordering = ctx->posixly_correct ? 0 : 1;
        ctx->initialized = 1;
    }
    if (optstring[0] == '-' || optstring[0] == '+')
        ++optstring;
    bool colon_first = optstring[0] == ':';
    bool print = ctx->opterr == 1 && !colon_first;
    char **av = (char **)argv;

    if (ctx->nextchar == nullptr || *ctx->nextchar == '\0') {
        if (ctx->last_nonopt > ctx->optind)
            ctx->last_nonopt = ctx->optind;
        if (ctx->first_nonopt > ctx->optind)
            ctx->first_nonopt = ctx->optind;
        if (ctx->ordering == 1) {
            if (ctx->first_nonopt != ctx->last_nonopt && ctx->last_nonopt != ctx->optind)
                pl_getopt_exchange(ctx, av);
            else if (ctx->last_nonopt != ctx->optind)
                ctx->first_nonopt = ctx->optind;
            while (ctx->optind < argc && is_nonopt(argv, ctx->optind))
                ctx->optind++;
            ctx->last_nonopt = ctx->optind;
        }
        if (ctx->optind != argc && strcmp(argv[ctx->optind], "--") == 0) {
            ctx->optind++;
            if (ctx->first_nonopt != ctx->last_nonopt && ctx->last_nonopt != ctx->optind)
                pl_getopt_exchange(ctx, av);
            else if (ctx->first_nonopt == ctx->last_nonopt)
                ctx->first_nonopt = ctx->optind;
            ctx->last_nonopt = argc;
            ctx->optind = argc;
        }
        if (ctx->optind == argc) {
            if (ctx->first_nonopt != ctx->last_nonopt)
                ctx->optind = ctx->first_nonopt;
            return -1;
        }
        if (is_nonopt(argv, ctx->optind)) {
            if (ctx->ordering == 0)
                return -1;
            ctx->optarg = argv[ctx->optind++];
            return 1;
        }
        ctx->nextchar = argv[ctx->optind] + 1 + (longopts && argv[ctx->optind][1] == '-' ? 1 : 0);
    }

    if (longopts) {
        const char *el = argv[ctx->optind];
        bool two = el[1] == '-';
        if (two || (long_only && (el[2] || !strchr(optstring, el[1])))) {
            // In the long-only form an element whose first letter is a short
            // option falls back to the short reading when no long name fits.
            if (!two && long_only) {
                bool any = false;
                size_t nlen = strcspn(ctx->nextchar, "=");
                for (int i = 0; longopts[i].name; ++i)
                    if (strncmp(longopts[i].name, ctx->nextchar, nlen) == 0)
                        any = true;
                if (!any && strchr(optstring, *ctx->nextchar))
                    goto short_opt;
            }
            return parse_long(ctx, argc, argv, optstring, longopts, longindex, print, colon_first, two);
        }
    }

short_opt: {
    char c = *ctx->nextchar++;
    const char *temp = strchr(optstring, c);
    if (*ctx->nextchar == '\0')
        ctx->optind++;
    if (temp == nullptr || c == ':' || c == '\0') {
        if (print) {
            if (ctx->posixly_correct)
                fprintf(stderr, "%s: illegal option -- %c\n", argv[0], c);
            else
                fprintf(stderr, "%s: invalid option -- %c\n", argv[0], c);
        }
        ctx->optopt = c;
        return '?';
    }
    if (temp[0] == 'W' && temp[1] == ';' && longopts) {
        // -W name: the name is read as a long option.
        char *arg;
        if (*ctx->nextchar != '\0') {
            arg = ctx->nextchar;
            ctx->optind++;
        } else if (ctx->optind == argc) {
            if (print)
                fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
            ctx->optopt = c;
            return colon_first ? ':' : '?';
        } else {
            arg = argv[ctx->optind++];
        }
        char *end = arg;
        while (*end && *end != '=')
            ++end;
        size_t nlen = (size_t)(end - arg);
        const pl_option *found = nullptr;
        int index = -1, nfound = 0;
        bool exact = false;
        for (int i = 0; longopts[i].name; ++i) {
            if (strncmp(longopts[i].name, arg, nlen) != 0)
                continue;
            if (strlen(longopts[i].name) == nlen) {
                found = &longopts[i];
                index = i;
                exact = true;
                break;
            }
            if (!found) {
                found = &longopts[i];
                index = i;
            }
            ++nfound;
        }
        if (!exact && nfound > 1) {
            if (print)
                fprintf(stderr, "%s: option `-W %s' is ambiguous\n", argv[0], arg);
            ctx->nextchar = nullptr;
            return '?';
        }
        if (found) {
            if (*end) {
                if (found->has_arg) {
                    ctx->optarg = end + 1;
                } else {
                    if (print)
                        fprintf(stderr, W_INDENT "%s: option `-W %s' doesn't allow an argument\n", argv[0],
                                found->name);
                    ctx->nextchar = nullptr;
                    return '?';
                }
            } else if (found->has_arg == 1) {
                if (ctx->optind < argc) {
                    ctx->optarg = argv[ctx->optind++];
                } else {
                    if (print)
                        fprintf(stderr, "%s: option `%s' requires an argument\n", argv[0], argv[ctx->optind - 1]);
                    ctx->nextchar = nullptr;
                    return colon_first ? ':' : '?';
                }
            }
            ctx->nextchar = nullptr;
            if (longindex)
                *longindex = index;
            if (found->flag) {
                *found->flag = found->val;
                return 0;
            }
            return found->val;
        }
        ctx->nextchar = nullptr;
        return 'W';
    }
    if (temp[1] == ':') {
        if (temp[2] == ':') {
            if (*ctx->nextchar != '\0') {
                ctx->optarg = ctx->nextchar;
                ctx->optind++;
            } else {
                ctx->optarg = nullptr;
            }
            ctx->nextchar = nullptr;
        } else {
            if (*ctx->nextchar != '\0') {
                ctx->optarg = ctx->nextchar;
                ctx->optind++;
            } else if (ctx->optind == argc) {
                if (print)
                    fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
                ctx->optopt = c;
                c = colon_first ? ':' : '?';
            } else {
                ctx->optarg = argv[ctx->optind++];
            }
            ctx->nextchar = nullptr;
        }
    }
    return c;
}
}

int pl_getopt(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring)
{
    return pl_getopt_internal(ctx, argc, argv, optstring, nullptr, nullptr, 0);
}

int pl_getopt_long(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring, const pl_option *longopts,
                   int *longindex)
{
    return pl_getopt_internal(ctx, argc, argv, optstring, longopts, longindex, 0);
}

int pl_getopt_long_only(pl_getopt_t *ctx, int argc, char *const *argv, const char *optstring,
                        const pl_option *longopts, int *longindex)
{
    return pl_getopt_internal(ctx, argc, argv, optstring, longopts, longindex, 1);
}
