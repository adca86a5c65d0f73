// Generic sorting, searching and the value-type comparator tables.
//
// Every algorithm is written once as a template over the element size:
// sizes 4, 8 and 16 get their own instances (fixed-size copies and
// exchanges), every other size uses the generic instance with the size read
// at run time. All scans are bounded by the array, whatever a comparator
// answers.
#include "libpal/utils/pl_sort.h"

#include <cerrno>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/value/pl_value.h"

#define TAG "pal"

namespace {

// Elements of a fixed size S, or of a size given at run time when S is 0.
template <size_t S> struct elems {
    size_t rsize;
    size_t size() const { return S ? S : rsize; }
    char *at(char *base, ptrdiff_t i) const { return base + i * (ptrdiff_t)size(); }
    void copy1(void *d, const void *s) const { memcpy(d, s, size()); }
    // n elements; the ranges may overlap.
    void move(void *d, const void *s, ptrdiff_t n) const
    {
        if (n > 0)
            memmove(d, s, (size_t)n * size());
    }
    void swap(void *a, void *b) const
    {
        if constexpr (S != 0) {
            unsigned char t[S];
            memcpy(t, a, S);
            memcpy(a, b, S);
            memcpy(b, t, S);
        } else {
            unsigned char t[64];
            unsigned char *x = (unsigned char *)a, *y = (unsigned char *)b;
            for (size_t left = rsize; left > 0;) {
                size_t k = left < sizeof(t) ? left : sizeof(t);
                memcpy(t, x, k);
                memcpy(x, y, k);
                memcpy(y, t, k);
                x += k;
                y += k;
                left -= k;
            }
        }
    }
    // Exchanges the k elements at a with the k elements at b.
    void swap_n(char *a, char *b, ptrdiff_t k) const
    {
        for (ptrdiff_t i = 0; i < k; ++i)
            swap(at(a, i), at(b, i));
    }
    void reverse(char *base, ptrdiff_t lo, ptrdiff_t hi) const // [lo, hi)
    {
        for (--hi; lo < hi; ++lo, --hi)
            swap(at(base, lo), at(base, hi));
    }
    // Moves element `from` down to index `to` (to <= from), shifting the
    // elements in between up by one.
    void rotate_down(char *base, ptrdiff_t to, ptrdiff_t from) const
    {
        if (to >= from)
            return;
        const size_t sz = size();
        unsigned char t[S ? S : 128];
        if (S != 0 || sz <= sizeof(t)) {
            memcpy(t, at(base, from), sz);
            move(at(base, to + 1), at(base, to), from - to);
            memcpy(at(base, to), t, sz);
            return;
        }
        // Large elements: one byte column at a time, no temporary element.
        for (size_t k = 0; k < sz; ++k) {
            unsigned char c = (unsigned char)*(at(base, from) + k);
            for (ptrdiff_t i = from; i > to; --i)
                *(at(base, i) + k) = *(at(base, i - 1) + k);
            *(at(base, to) + k) = (char)c;
        }
    }
};

struct cmpr {
    pl_cmp_r_fn fn;
    void *ctx;
    int operator()(const void *a, const void *b) const { return fn(a, b, ctx); }
};

// ---- algorithm 1: three-way quicksort -------------------------------------------

template <size_t S> void quick3(char *base, size_t count, const elems<S> &e, const cmpr &cmp)
{
    ptrdiff_t n = (ptrdiff_t)count;
    while (n > 9) {
        auto A = [&](ptrdiff_t i) { return e.at(base, i); };
        // Median of the elements at 1, n/2 and n-2 becomes the pivot, last.
        ptrdiff_t lo = 1, hi = n / 2, third = n - 2;
        if (cmp(A(lo), A(hi)) > 0) {
            lo = n / 2;
            hi = 1;
        }
        ptrdiff_t med = hi;
        if (cmp(A(hi), A(third)) > 0)
            med = cmp(A(third), A(lo)) > 0 ? third : lo;
        e.swap(A(med), A(n - 1));
        const char *piv = A(n - 1);

        // [0,a) equal, [a,b) less, (c,d] greater, (d,n-1) equal, n-1 pivot.
        ptrdiff_t a = 0, b = 0, c = n - 2, d = n - 2;
        for (;;) {
            int r;
            while (b <= c && (r = cmp(A(b), piv)) <= 0) {
                if (r == 0)
                    e.swap(A(a++), A(b));
                ++b;
            }
            while (b <= c && (r = cmp(A(c), piv)) >= 0) {
                if (r == 0)
                    e.swap(A(c), A(d--));
                --c;
            }
            if (b > c)
                break;
            e.swap(A(b++), A(c--));
        }
        // Gather both equal blocks (the pivot with them) in the middle.
        ptrdiff_t s = a < b - a ? a : b - a;
        e.swap_n(A(0), A(b - s), s);
        ptrdiff_t s2 = d - c < n - 1 - d ? d - c : n - 1 - d;
        e.swap_n(A(b), A(n - s2), s2);
        ptrdiff_t nlo = b - a, nhi = d - c;
        char *upper = A(n - nhi);
        // The parts are disjoint, so the order in which they are sorted does
        // not change the result; recursing into the smaller one bounds the
        // depth by log2(n).
        if (nlo <= nhi) {
            quick3(base, (size_t)nlo, e, cmp);
            base = upper;
            n = nhi;
        } else {
            quick3(upper, (size_t)nhi, e, cmp);
            n = nlo;
        }
    }
    for (ptrdiff_t i = 1; i < n; ++i)
        for (ptrdiff_t j = i; j > 0 && cmp(e.at(base, j - 1), e.at(base, j)) > 0; --j)
            e.swap(e.at(base, j - 1), e.at(base, j));
}

// ---- algorithm 2: quicksort with an explicit stack ----------------------------

constexpr ptrdiff_t NR_THRESH = 4; // partitions of at most this + 1 elements are left
constexpr int NR_STACK = 2 * 64;   // pairs; the larger side is pushed, so log2(n) suffice

template <size_t S> void quick_nr(char *base, size_t count, const elems<S> &e, const cmpr &cmp)
{
    auto A = [&](ptrdiff_t i) { return e.at(base, i); };
    const ptrdiff_t n = (ptrdiff_t)count;
    if (n < 2)
        return;
    if (n > NR_THRESH) {
        struct {
            ptrdiff_t lo, hi;
        } stack[NR_STACK];
        int top = 0;
        ptrdiff_t lo = 0, hi = n - 1;
        for (;;) {
            // First, middle and last put in order; the middle is the pivot.
            ptrdiff_t mid = lo + ((hi - lo) >> 1);
            if (cmp(A(mid), A(lo)) < 0)
                e.swap(A(mid), A(lo));
            if (cmp(A(hi), A(mid)) < 0) {
                e.swap(A(mid), A(hi));
                if (cmp(A(mid), A(lo)) < 0)
                    e.swap(A(mid), A(lo));
            }
            ptrdiff_t l = lo + 1, r = hi - 1;
            do {
                while (l < hi && cmp(A(l), A(mid)) < 0)
                    ++l;
                while (r > lo && cmp(A(mid), A(r)) < 0)
                    --r;
                if (l < r) {
                    e.swap(A(l), A(r));
                    if (mid == l)
                        mid = r;
                    else if (mid == r)
                        mid = l;
                    ++l;
                    --r;
                } else if (l == r) {
                    ++l;
                    --r;
                    break;
                }
            } while (l <= r);

            bool keep_lo = r - lo > NR_THRESH, keep_hi = hi - l > NR_THRESH;
            if (!keep_lo && !keep_hi) {
                if (top == 0)
                    break;
                --top;
                lo = stack[top].lo;
                hi = stack[top].hi;
            } else if (!keep_lo) {
                lo = l;
            } else if (!keep_hi) {
                hi = r;
            } else if (r - lo > hi - l) {
                // A full stack cannot happen (depth <= log2(n)); were it
                // to, the final insertion pass still sorts that side.
                if (top < NR_STACK)
                    stack[top++] = {lo, r};
                lo = l;
            } else {
                if (top < NR_STACK)
                    stack[top++] = {l, hi};
                hi = r;
            }
        }
    }
    // The smallest of the first elements goes to the front as a sentinel;
    // one insertion pass finishes the array.
    ptrdiff_t small = 0;
    ptrdiff_t last = n - 1 < NR_THRESH ? n - 1 : NR_THRESH;
    for (ptrdiff_t i = 1; i <= last; ++i)
        if (cmp(A(i), A(small)) < 0)
            small = i;
    if (small != 0)
        e.swap(A(small), A(0));
    for (ptrdiff_t i = 2; i < n; ++i) {
        ptrdiff_t t = i - 1;
        while (t >= 0 && cmp(A(i), A(t)) < 0)
            --t;
        e.rotate_down(base, t + 1, i);
    }
}

// ---- algorithm 3: TimSort ---------------------------------------------------------

constexpr ptrdiff_t TIM_MIN_MERGE = 32;
constexpr int TIM_MIN_GALLOP = 7;
constexpr ptrdiff_t TIM_TMP_LEN = 256;
constexpr int TIM_STACK = 85;

ptrdiff_t tim_min_run(ptrdiff_t n)
{
    ptrdiff_t r = 0;
    while (n >= TIM_MIN_MERGE) {
        r |= n & 1;
        n >>= 1;
    }
    return n + r;
}

template <size_t S> struct timsort {
    elems<S> e;
    cmpr cmp;
    char *a;
    ptrdiff_t n;
    char *tmp = nullptr;
    ptrdiff_t tmp_len = 0;
    int min_gallop = TIM_MIN_GALLOP;
    ptrdiff_t run_base[TIM_STACK] = {};
    ptrdiff_t run_len[TIM_STACK] = {};
    int stack_size = 0;

    char *A(ptrdiff_t i) const { return e.at(a, i); }
    char *T(ptrdiff_t i) const { return e.at(tmp, i); }

    // Length of the run at lo; a strictly descending run is reversed.
    ptrdiff_t count_run(ptrdiff_t lo, ptrdiff_t hi)
    {
        ptrdiff_t r = lo + 1;
        if (r == hi)
            return 1;
        if (cmp(A(r++), A(lo)) < 0) {
            while (r < hi && cmp(A(r), A(r - 1)) < 0)
                ++r;
            e.reverse(a, lo, r);
        } else {
            while (r < hi && cmp(A(r), A(r - 1)) >= 0)
                ++r;
        }
        return r - lo;
    }

    // Sorts [lo, hi) of which [lo, start) is sorted; each element goes
    // after every element equal to it.
    void binary_sort(ptrdiff_t lo, ptrdiff_t hi, ptrdiff_t start)
    {
        if (start == lo)
            ++start;
        for (; start < hi; ++start) {
            ptrdiff_t left = lo, right = start;
            while (left < right) {
                ptrdiff_t mid = left + ((right - left) >> 1);
                if (cmp(A(start), A(mid)) < 0)
                    right = mid;
                else
                    left = mid + 1;
            }
            e.rotate_down(a, left, start);
        }
    }

    // Position in arr[base, base+len) where key goes before every equal one.
    ptrdiff_t gallop_left(const char *key, char *arr, ptrdiff_t base, ptrdiff_t len, ptrdiff_t hint)
    {
        ptrdiff_t last = 0, ofs = 1;
        if (cmp(key, e.at(arr, base + hint)) > 0) {
            ptrdiff_t max = len - hint;
            while (ofs < max && cmp(key, e.at(arr, base + hint + ofs)) > 0) {
                last = ofs;
                ofs = (ofs << 1) + 1;
            }
            if (ofs > max)
                ofs = max;
            last += hint;
            ofs += hint;
        } else {
            ptrdiff_t max = hint + 1;
            while (ofs < max && cmp(key, e.at(arr, base + hint - ofs)) <= 0) {
                last = ofs;
                ofs = (ofs << 1) + 1;
            }
            if (ofs > max)
                ofs = max;
            ptrdiff_t t = last;
            last = hint - ofs;
            ofs = hint - t;
        }
        ++last;
        while (last < ofs) {
            ptrdiff_t m = last + ((ofs - last) >> 1);
            if (cmp(key, e.at(arr, base + m)) > 0)
                last = m + 1;
            else
                ofs = m;
        }
        return ofs;
    }

    // Position in arr[base, base+len) where key goes after every equal one.
    ptrdiff_t gallop_right(const char *key, char *arr, ptrdiff_t base, ptrdiff_t len, ptrdiff_t hint)
    {
        ptrdiff_t last = 0, ofs = 1;
        if (cmp(key, e.at(arr, base + hint)) < 0) {
            ptrdiff_t max = hint + 1;
            while (ofs < max && cmp(key, e.at(arr, base + hint - ofs)) < 0) {
                last = ofs;
                ofs = (ofs << 1) + 1;
            }
            if (ofs > max)
                ofs = max;
            ptrdiff_t t = last;
            last = hint - ofs;
            ofs = hint - t;
        } else {
            ptrdiff_t max = len - hint;
            while (ofs < max && cmp(key, e.at(arr, base + hint + ofs)) >= 0) {
                last = ofs;
                ofs = (ofs << 1) + 1;
            }
            if (ofs > max)
                ofs = max;
            last += hint;
            ofs += hint;
        }
        ++last;
        while (last < ofs) {
            ptrdiff_t m = last + ((ofs - last) >> 1);
            if (cmp(key, e.at(arr, base + m)) < 0)
                ofs = m;
            else
                last = m + 1;
        }
        return ofs;
    }

    // Room for `need` elements in the merge buffer; -1 (ENOMEM) when it
    // cannot grow, before anything is moved.
    int ensure_tmp(ptrdiff_t need)
    {
        if (tmp_len >= need)
            return 0;
        ptrdiff_t sz = 1;
        while (sz <= need)
            sz <<= 1;
        if (sz > n / 2)
            sz = need > n / 2 ? need : n / 2;
        char *p = (char *)os_malloc((size_t)sz * e.size());
        if (!p) {
            errno = ENOMEM;
            return -1;
        }
        os_free(tmp);
        tmp = p;
        tmp_len = sz;
        return 0;
    }

    // Merges A = [b1, b1+l1) with B = [b2, b2+l2) from the low end; l1 <= l2,
    // A's first element is greater than B's first, A's last is greater than
    // every element of B. -1 (EINVAL) when the comparator contradicts that;
    // every element is back in the array either way.
    int merge_lo(ptrdiff_t b1, ptrdiff_t l1, ptrdiff_t b2, ptrdiff_t l2)
    {
        if (ensure_tmp(l1) < 0)
            return -1;
        e.move(tmp, A(b1), l1);
        ptrdiff_t c1 = 0, c2 = b2, dest = b1;
        e.copy1(A(dest++), A(c2++));
        if (--l2 == 0) {
            e.move(A(dest), T(c1), l1);
            return 0;
        }
        if (l1 == 1) {
            e.move(A(dest), A(c2), l2);
            e.copy1(A(dest + l2), T(c1));
            return 0;
        }
        int mg = min_gallop;
        for (;;) {
            ptrdiff_t n1 = 0, n2 = 0; // consecutive wins of each side
            do {
                if (cmp(A(c2), T(c1)) < 0) {
                    e.copy1(A(dest++), A(c2++));
                    ++n2;
                    n1 = 0;
                    if (--l2 == 0)
                        goto done;
                } else {
                    e.copy1(A(dest++), T(c1++));
                    ++n1;
                    n2 = 0;
                    if (--l1 == 1)
                        goto done;
                }
            } while ((n1 | n2) < mg);
            do {
                n1 = gallop_right(A(c2), tmp, c1, l1, 0);
                if (n1 != 0) {
                    e.move(A(dest), T(c1), n1);
                    dest += n1;
                    c1 += n1;
                    l1 -= n1;
                    if (l1 <= 1)
                        goto done;
                }
                e.copy1(A(dest++), A(c2++));
                if (--l2 == 0)
                    goto done;
                n2 = gallop_left(T(c1), a, c2, l2, 0);
                if (n2 != 0) {
                    e.move(A(dest), A(c2), n2);
                    dest += n2;
                    c2 += n2;
                    l2 -= n2;
                    if (l2 == 0)
                        goto done;
                }
                e.copy1(A(dest++), T(c1++));
                if (--l1 == 1)
                    goto done;
                --mg;
            } while (n1 >= TIM_MIN_GALLOP || n2 >= TIM_MIN_GALLOP);
            if (mg < 0)
                mg = 0;
            mg += 2;
        }
    done:
        min_gallop = mg < 1 ? 1 : mg;
        if (l1 == 1) {
            e.move(A(dest), A(c2), l2);
            e.copy1(A(dest + l2), T(c1));
            return 0;
        }
        if (l1 == 0) { // A ran out before B: an inconsistent comparator
            errno = EINVAL;
            return -1;
        }
        e.move(A(dest), T(c1), l1);
        return 0;
    }

    // The mirror image of merge_lo, from the high end; l1 >= l2.
    int merge_hi(ptrdiff_t b1, ptrdiff_t l1, ptrdiff_t b2, ptrdiff_t l2)
    {
        if (ensure_tmp(l2) < 0)
            return -1;
        e.move(tmp, A(b2), l2);
        ptrdiff_t c1 = b1 + l1 - 1, c2 = l2 - 1, dest = b2 + l2 - 1;
        e.copy1(A(dest--), A(c1--));
        if (--l1 == 0) {
            e.move(A(dest - (l2 - 1)), tmp, l2);
            return 0;
        }
        if (l2 == 1) {
            dest -= l1;
            c1 -= l1;
            e.move(A(dest + 1), A(c1 + 1), l1);
            e.copy1(A(dest), T(c2));
            return 0;
        }
        int mg = min_gallop;
        for (;;) {
            ptrdiff_t n1 = 0, n2 = 0;
            do {
                if (cmp(T(c2), A(c1)) < 0) {
                    e.copy1(A(dest--), A(c1--));
                    ++n1;
                    n2 = 0;
                    if (--l1 == 0)
                        goto done;
                } else {
                    e.copy1(A(dest--), T(c2--));
                    ++n2;
                    n1 = 0;
                    if (--l2 == 1)
                        goto done;
                }
            } while ((n1 | n2) < mg);
            do {
                n1 = l1 - gallop_right(T(c2), a, b1, l1, l1 - 1);
                if (n1 != 0) {
                    dest -= n1;
                    c1 -= n1;
                    l1 -= n1;
                    e.move(A(dest + 1), A(c1 + 1), n1);
                    if (l1 == 0)
                        goto done;
                }
                e.copy1(A(dest--), T(c2--));
                if (--l2 == 1)
                    goto done;
                n2 = l2 - gallop_left(A(c1), tmp, 0, l2, l2 - 1);
                if (n2 != 0) {
                    dest -= n2;
                    c2 -= n2;
                    l2 -= n2;
                    e.move(A(dest + 1), T(c2 + 1), n2);
                    if (l2 <= 1)
                        goto done;
                }
                e.copy1(A(dest--), A(c1--));
                if (--l1 == 0)
                    goto done;
                --mg;
            } while (n1 >= TIM_MIN_GALLOP || n2 >= TIM_MIN_GALLOP);
            if (mg < 0)
                mg = 0;
            mg += 2;
        }
    done:
        min_gallop = mg < 1 ? 1 : mg;
        if (l2 == 1) {
            dest -= l1;
            c1 -= l1;
            e.move(A(dest + 1), A(c1 + 1), l1);
            e.copy1(A(dest), T(c2));
            return 0;
        }
        if (l2 == 0) {
            errno = EINVAL;
            return -1;
        }
        e.move(A(dest - (l2 - 1)), tmp, l2);
        return 0;
    }

    int merge_at(int i)
    {
        ptrdiff_t b1 = run_base[i], l1 = run_len[i];
        ptrdiff_t b2 = run_base[i + 1], l2 = run_len[i + 1];
        run_len[i] = l1 + l2;
        if (i == stack_size - 3) {
            run_base[i + 1] = run_base[i + 2];
            run_len[i + 1] = run_len[i + 2];
        }
        --stack_size;
        // Elements of A not greater than B's first are in place already.
        ptrdiff_t k = gallop_right(A(b2), a, b1, l1, 0);
        b1 += k;
        l1 -= k;
        if (l1 == 0)
            return 0;
        // So are the elements of B not less than A's last.
        l2 = gallop_left(A(b1 + l1 - 1), a, b2, l2, l2 - 1);
        if (l2 == 0)
            return 0;
        return l1 <= l2 ? merge_lo(b1, l1, b2, l2) : merge_hi(b1, l1, b2, l2);
    }

    int merge_collapse()
    {
        while (stack_size > 1) {
            int k = stack_size - 2;
            if ((k > 0 && run_len[k - 1] <= run_len[k] + run_len[k + 1]) ||
                (k > 1 && run_len[k - 2] <= run_len[k - 1] + run_len[k])) {
                if (run_len[k - 1] < run_len[k + 1])
                    --k;
            } else if (run_len[k] > run_len[k + 1]) {
                break;
            }
            if (merge_at(k) < 0)
                return -1;
        }
        return 0;
    }

    int merge_force_collapse()
    {
        while (stack_size > 1) {
            int k = stack_size - 2;
            if (k > 0 && run_len[k - 1] < run_len[k + 1])
                --k;
            if (merge_at(k) < 0)
                return -1;
        }
        return 0;
    }

    int sort()
    {
        if (n < 2 || e.size() == 0)
            return 0;
        if (n < TIM_MIN_MERGE) {
            binary_sort(0, n, count_run(0, n));
            return 0;
        }
        if (ensure_tmp(n < 2 * TIM_TMP_LEN ? n / 2 : TIM_TMP_LEN) < 0)
            return -1;
        const ptrdiff_t min_run = tim_min_run(n);
        int rc = 0;
        for (ptrdiff_t lo = 0, left = n; left != 0;) {
            ptrdiff_t len = count_run(lo, n);
            if (len < min_run) {
                ptrdiff_t force = left <= min_run ? left : min_run;
                binary_sort(lo, lo + force, lo + len);
                len = force;
            }
            if (stack_size == TIM_STACK) { // cannot happen: the invariants bound the depth
                errno = EINVAL;
                rc = -1;
                break;
            }
            run_base[stack_size] = lo;
            run_len[stack_size] = len;
            ++stack_size;
            if ((rc = merge_collapse()) < 0)
                break;
            lo += len;
            left -= len;
        }
        if (rc == 0)
            rc = merge_force_collapse();
        os_free(tmp);
        tmp = nullptr;
        return rc;
    }
};

template <size_t S> int run_alg(int alg, void *base, size_t count, size_t size, const cmpr &c)
{
    elems<S> e{size};
    switch (alg) {
    case PL_SORT_QUICK3:
        quick3((char *)base, count, e, c);
        return 0;
    case PL_SORT_QUICK_NR:
        quick_nr((char *)base, count, e, c);
        return 0;
    default: {
        timsort<S> t{e, c, (char *)base, (ptrdiff_t)count};
        return t.sort();
    }
    }
}

int forward_cmp(const void *a, const void *b, void *ctx) { return (*(pl_cmp_fn *)ctx)(a, b); }

const char *elem(const void *base, size_t i, size_t size) { return (const char *)base + i * size; }

} // namespace

// ---- entry points ---------------------------------------------------------------------

void pl_qsort_nop(void *, size_t, size_t, pl_cmp_r_fn, void *) {}

int pl_qsort_ctx_thunk(void *pair, const void *a, const void *b)
{
    const pl_qsort_pair_t *p = (const pl_qsort_pair_t *)pair;
    return p->cmp(a, b, p->ctx);
}

int pl_qsort_r(int algorithm, void *base, size_t count, size_t size, pl_cmp_r_fn cmp, void *ctx)
{
    if (algorithm < PL_SORT_NONE || algorithm > PL_SORT_TIM) {
        LOG_ERR(TAG, "type=%d invalid type", algorithm);
        return -1;
    }
    if (algorithm == PL_SORT_NONE || count < 2 || size == 0) {
        pl_qsort_nop(base, count, size, cmp, ctx);
        return 0;
    }
    PL_ASSERT_RET(TAG, base != NULL, -1);
    PL_ASSERT_RET(TAG, cmp != NULL, -1);
    PL_ASSERT_RET(TAG, count <= PTRDIFF_MAX / size, -1);
    const cmpr c{cmp, ctx};
    switch (size) {
    case 4:
        return run_alg<4>(algorithm, base, count, size, c);
    case 8:
        return run_alg<8>(algorithm, base, count, size, c);
    case 16:
        return run_alg<16>(algorithm, base, count, size, c);
    default:
        return run_alg<0>(algorithm, base, count, size, c);
    }
}

int pl_qsort_r_default(void *base, size_t count, size_t size, pl_cmp_r_fn cmp, void *ctx)
{
    return pl_qsort_r(PL_SORT_QUICK3, base, count, size, cmp, ctx);
}

int pl_qsort(void *base, size_t count, size_t size, pl_cmp_fn cmp)
{
    PL_ASSERT_RET(TAG, cmp != NULL || count < 2, -1);
    return pl_qsort_r(PL_SORT_QUICK3, base, count, size, forward_cmp, &cmp);
}

int pl_sort_order(const void *base, size_t count, size_t size, pl_cmp_fn cmp)
{
    if (count < 2)
        return 1;
    bool less = false, greater = false;
    for (size_t i = 1; i < count; ++i) {
        int c = cmp(elem(base, i - 1, size), elem(base, i, size));
        if (c < 0)
            less = true;
        else if (c > 0)
            greater = true;
        if (less && greater)
            return 0;
    }
    return less ? 2 : greater ? 3 : 1;
}

size_t pl_uniq(void *base, size_t count, size_t size, pl_cmp_fn cmp)
{
    if (count < 2)
        return count;
    const elems<0> e{size};
    char *a = (char *)base;
    size_t kept = 1;
    for (size_t i = 1; i < count; ++i) {
        if (cmp(e.at(a, (ptrdiff_t)kept - 1), e.at(a, (ptrdiff_t)i)) == 0)
            continue;
        if (i != kept) {
            void *x = e.at(a, (ptrdiff_t)kept), *y = e.at(a, (ptrdiff_t)i);
            switch (size) { // single values where they fit one
            case 1: {
                uint8_t t = *(uint8_t *)x;
                *(uint8_t *)x = *(uint8_t *)y;
                *(uint8_t *)y = t;
                break;
            }
            case 2:
                elems<2>{}.swap(x, y);
                break;
            case 4:
                elems<4>{}.swap(x, y);
                break;
            case 8:
                elems<8>{}.swap(x, y);
                break;
            default:
                e.swap(x, y);
            }
        }
        ++kept;
    }
    return kept;
}

int pl_is_uniq(const void *base, size_t count, size_t size, pl_cmp_fn cmp)
{
    if (count < 2)
        return 1;
    PL_ASSERT_RET(TAG, size != 0 && count <= SIZE_MAX / size, -1);
    void *copy = os_memdup(base, count * size);
    if (!copy)
        return -1;
    int r = 1;
    if (pl_qsort(copy, count, size, cmp) < 0)
        r = -1;
    for (size_t i = 1; r == 1 && i < count; ++i)
        if (cmp(elem(copy, i - 1, size), elem(copy, i, size)) == 0)
            r = 0;
    os_free(copy);
    return r;
}

int64_t pl_bsearch(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find)
{
    size_t low = 0, n = count;
    while (n > 0) {
        size_t mid = low + n / 2;
        int c = find(key, elem(base, mid, size));
        if (c == 0)
            return (int64_t)mid;
        if (c < 0) {
            n = n / 2;
        } else {
            low = mid + 1;
            n = n - n / 2 - 1;
        }
    }
    return -1;
}

int64_t pl_lsearch(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find)
{
    for (size_t i = 0; i < count; ++i)
        if (find(key, elem(base, i, size)) == 0)
            return (int64_t)i;
    return -1;
}

size_t pl_count_equal(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find)
{
    size_t n = 0;
    for (size_t i = 0; i < count; ++i)
        n += find(key, elem(base, i, size)) == 0;
    return n;
}

// ---- comparators --------------------------------------------------------------------

int cmp_sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

namespace {
template <typename T> int three_way(T x, T y) { return x < y ? -1 : x > y ? 1 : 0; }
template <typename T> T val(const void *p) { return (T)(uintptr_t)p; }
template <typename T> T ref(const void *p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}
const char *first_text(const void *elem) { return *(const char *const *)ref<const void *>(elem); }
} // namespace

int cmp_u64(const void *a, const void *b) { return three_way(val<uint64_t>(a), val<uint64_t>(b)); }
int cmp_u32(const void *a, const void *b) { return three_way(val<uint32_t>(a), val<uint32_t>(b)); }
int cmp_i32(const void *a, const void *b) { return three_way((int32_t)val<uint32_t>(a), (int32_t)val<uint32_t>(b)); }
int cmp_ptr(const void *a, const void *b) { return three_way(val<uintptr_t>(a), val<uintptr_t>(b)); }
int cmp_str(const void *a, const void *b) { return cmp_sign(strcmp((const char *)a, (const char *)b)); }
int cmp_i64(const void *a, const void *b) { return three_way((int64_t)val<uint64_t>(a), (int64_t)val<uint64_t>(b)); }
int cmp_u8p(const void *a, const void *b) { return three_way(ref<uint8_t>(a), ref<uint8_t>(b)); }
int cmp_u16p(const void *a, const void *b) { return three_way(ref<uint16_t>(a), ref<uint16_t>(b)); }
int cmp_u32p(const void *a, const void *b) { return three_way(ref<uint32_t>(a), ref<uint32_t>(b)); }
int cmp_i32p(const void *a, const void *b) { return three_way(ref<int32_t>(a), ref<int32_t>(b)); }
int cmp_u64pv(const void *a, const void *b) { return three_way(ref<uint64_t>(a), ref<uint64_t>(b)); }
int cmp_u64p(const void *a, const void *b) { return three_way(ref<uintptr_t>(a), ref<uintptr_t>(b)); }
int cmp_i64p(const void *a, const void *b) { return three_way(ref<int64_t>(a), ref<int64_t>(b)); }
int cmp_strp(const void *a, const void *b) { return cmp_sign(strcmp(ref<const char *>(a), ref<const char *>(b))); }
int cmp_struct_str(const void *a, const void *b) { return cmp_sign(strcmp(first_text(a), first_text(b))); }

#define PL_CMP_DESC(name)                                                                                              \
    int name##_desc(const void *a, const void *b) { return name(b, a); }
PL_CMP_DESC(cmp_u64)
PL_CMP_DESC(cmp_u32)
PL_CMP_DESC(cmp_i32)
PL_CMP_DESC(cmp_ptr)
PL_CMP_DESC(cmp_str)
PL_CMP_DESC(cmp_u8p)
PL_CMP_DESC(cmp_u16p)
PL_CMP_DESC(cmp_u32p)
PL_CMP_DESC(cmp_i32p)
PL_CMP_DESC(cmp_u64pv)
PL_CMP_DESC(cmp_u64p)
PL_CMP_DESC(cmp_i64p)
PL_CMP_DESC(cmp_strp)
PL_CMP_DESC(cmp_struct_str)

pl_idtab_t cmp_table_row(int val_type, pl_cmp_fn cmp)
{
    pl_idtab_t r{};
    r.id = val_type;
    r.ptr = (const void *)cmp;
    return r;
}

pl_cmp_fn cmp_table_get(int val_type, const pl_idtab_t *rows, int count)
{
    const pl_idtab_t *row = pl_idtab_row(val_type, rows, count);
    if (!row) {
        LOG_ERR(TAG, "val_type=%d not support\n", val_type);
        pl_dump_stack();
        return nullptr;
    }
    return (pl_cmp_fn)row->ptr;
}

namespace {

const pl_idtab_t s_cmp_asc[] = {
    cmp_table_row(VALUE_TYPE_U16P, cmp_u16p),  cmp_table_row(VALUE_TYPE_U32P, cmp_u32p),
    cmp_table_row(VALUE_TYPE_U64, cmp_u64),    cmp_table_row(VALUE_TYPE_U64P, cmp_u64pv),
    cmp_table_row(VALUE_TYPE_U8, cmp_u32),     cmp_table_row(VALUE_TYPE_U8P, cmp_u8p),
    cmp_table_row(VALUE_TYPE_INT, cmp_i32),    cmp_table_row(VALUE_TYPE_INTP, cmp_i32p),
    cmp_table_row(VALUE_TYPE_PTR, cmp_ptr),    cmp_table_row(VALUE_TYPE_PTRP, cmp_u64p),
    cmp_table_row(VALUE_TYPE_STRING, cmp_str), cmp_table_row(VALUE_TYPE_STRP, cmp_strp),
};
const pl_idtab_t s_cmp_desc[] = {
    cmp_table_row(VALUE_TYPE_U16P, cmp_u16p_desc),  cmp_table_row(VALUE_TYPE_U32P, cmp_u32p_desc),
    cmp_table_row(VALUE_TYPE_U64, cmp_u64_desc),    cmp_table_row(VALUE_TYPE_U64P, cmp_u64pv_desc),
    cmp_table_row(VALUE_TYPE_U8, cmp_u32_desc),     cmp_table_row(VALUE_TYPE_U8P, cmp_u8p_desc),
    cmp_table_row(VALUE_TYPE_INT, cmp_i32_desc),    cmp_table_row(VALUE_TYPE_INTP, cmp_i32p_desc),
    cmp_table_row(VALUE_TYPE_PTR, cmp_ptr_desc),    cmp_table_row(VALUE_TYPE_PTRP, cmp_u64p_desc),
    cmp_table_row(VALUE_TYPE_STRING, cmp_str_desc), cmp_table_row(VALUE_TYPE_STRP, cmp_strp_desc),
};
constexpr int CMP_ROWS = (int)(sizeof(s_cmp_asc) / sizeof(s_cmp_asc[0]));

} // namespace

pl_cmp_fn cmp_val_get_proc(int val_type, int reverse)
{
    return cmp_table_get(val_type, reverse ? s_cmp_desc : s_cmp_asc, CMP_ROWS);
}

pl_cmp_fn cmp_array_get_proc(unsigned mode, pl_cmp_fn cmp, int reverse)
{
    if (cmp)
        return cmp;
    if (mode & 0x3)
        return reverse ? cmp_strp_desc : cmp_strp;
    if (mode & 0x4)
        return reverse ? cmp_u64p_desc : cmp_u64p;
    if (mode & 0x8)
        return reverse ? cmp_struct_str_desc : cmp_struct_str;
    LOG_ERR(TAG, "mode=0x%x not support\n", mode);
    pl_dump_stack();
    return nullptr;
}

pl_cmp_fn cmp_default_proc(unsigned flags, pl_cmp_fn cmp)
{
    if (cmp)
        return cmp;
    return (flags & 0x3) ? cmp_str : cmp_ptr;
}

// ---- typed shortcuts ----------------------------------------------------------------

void pl_sort_u8(uint8_t *base, size_t n) { pl_qsort(base, n, 1, cmp_u8p); }
void pl_sort_strp(const char **base, size_t n) { pl_qsort(base, n, sizeof(char *), cmp_strp); }
void pl_sort_struct_str(void *base, size_t n) { pl_qsort(base, n, sizeof(void *), cmp_struct_str); }
void pl_sort_u64(uint64_t *base, size_t n) { pl_qsort(base, n, sizeof(uint64_t), cmp_u64p); }

int64_t str_array_bsearch(const char *const *base, size_t n, const char *key)
{
    return pl_bsearch(key, base, n, sizeof(char *), cmp2_strp);
}

int64_t str_struct_array_bsearch(const void *base, size_t n, const char *key)
{
    return pl_bsearch(key, base, n, sizeof(void *), cmp2_struct_str);
}
