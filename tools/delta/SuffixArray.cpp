#include "SuffixArray.h"

#include <algorithm>

namespace Delta {

namespace {

// Induced sorting (Nong, Zhang and Chan) with a virtual end marker smaller than every
// symbol. text holds n symbols below k; sa receives n positions. Recursion sorts the
// names of the left-most S-type substrings, which are at most half as many.
template <typename Symbol>
void SortSuffixes(const Symbol* text, std::int32_t* sa, std::int32_t n, std::int32_t k) {
    if (n == 0) {
        return;
    }
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    // S-type: the suffix is smaller than the one after it. The last is L-type, as the
    // end marker follows it.
    std::vector<bool> sType(static_cast<std::size_t>(n));
    for (std::int32_t i = n - 2; i >= 0; --i) {
        sType[i] = text[i] < text[i + 1] || (text[i] == text[i + 1] && sType[i + 1]);
    }
    const auto leftmostS = [&](std::int32_t i) { return i > 0 && sType[i] && !sType[i - 1]; };
    std::vector<std::int32_t> counts(static_cast<std::size_t>(k), 0);
    for (std::int32_t i = 0; i < n; ++i) {
        ++counts[text[i]];
    }
    std::vector<std::int32_t> bucket(static_cast<std::size_t>(k));
    const auto bucketStarts = [&] {
        std::int32_t sum = 0;
        for (std::int32_t c = 0; c < k; ++c) {
            bucket[c] = sum;
            sum += counts[c];
        }
    };
    const auto bucketEnds = [&] {
        std::int32_t sum = 0;
        for (std::int32_t c = 0; c < k; ++c) {
            sum += counts[c];
            bucket[c] = sum;
        }
    };
    const auto induce = [&] {
        bucketStarts();
        sa[bucket[text[n - 1]]++] = n - 1;
        for (std::int32_t i = 0; i < n; ++i) {
            const std::int32_t j = sa[i] - 1;
            if (sa[i] > 0 && !sType[j]) {
                sa[bucket[text[j]]++] = j;
            }
        }
        bucketEnds();
        for (std::int32_t i = n - 1; i >= 0; --i) {
            const std::int32_t j = sa[i] - 1;
            if (sa[i] > 0 && sType[j]) {
                sa[--bucket[text[j]]] = j;
            }
        }
    };

    std::fill(sa, sa + n, -1);
    bucketEnds();
    for (std::int32_t i = 1; i < n; ++i) {
        if (leftmostS(i)) {
            sa[--bucket[text[i]]] = i;
        }
    }
    induce();

    // The left-most S substrings in sorted order, then their names by position.
    std::int32_t m = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        if (leftmostS(sa[i])) {
            sa[m++] = sa[i];
        }
    }
    std::fill(sa + m, sa + n, -1);
    std::int32_t names = 0;
    std::int32_t previous = -1;
    for (std::int32_t i = 0; i < m; ++i) {
        const std::int32_t position = sa[i];
        bool differs = previous < 0;
        for (std::int32_t d = 0; !differs; ++d) {
            if (position + d == n || previous + d == n ||
                text[position + d] != text[previous + d] ||
                sType[position + d] != sType[previous + d]) {
                differs = true;
            } else if (d > 0 && (leftmostS(position + d) || leftmostS(previous + d))) {
                break;
            }
        }
        if (differs) {
            ++names;
            previous = position;
        }
        sa[m + position / 2] = names - 1;
    }
    for (std::int32_t i = n - 1, j = n - 1; i >= m; --i) {
        if (sa[i] >= 0) {
            sa[j--] = sa[i];
        }
    }

    // Order the substrings: by their names when all differ, else by recursion.
    std::int32_t* reduced = sa + n - m;
    if (names < m) {
        SortSuffixes(reduced, sa, m, names);
    } else {
        for (std::int32_t i = 0; i < m; ++i) {
            sa[reduced[i]] = i;
        }
    }
    for (std::int32_t i = 1, j = 0; i < n; ++i) {
        if (leftmostS(i)) {
            reduced[j++] = i;
        }
    }
    for (std::int32_t i = 0; i < m; ++i) {
        sa[i] = reduced[sa[i]];
    }
    std::fill(sa + m, sa + n, -1);
    bucketEnds();
    for (std::int32_t i = m - 1; i >= 0; --i) {
        const std::int32_t j = sa[i];
        sa[i] = -1;
        sa[--bucket[text[j]]] = j;
    }
    induce();
}

}  // namespace

std::vector<std::int32_t> BuildSuffixArray(const std::uint8_t* data, std::size_t size) {
    std::vector<std::int32_t> sa(size);
    SortSuffixes(data, sa.data(), static_cast<std::int32_t>(size), 256);
    return sa;
}

}  // namespace Delta
