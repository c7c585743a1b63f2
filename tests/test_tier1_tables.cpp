// Zero-coding and sign-coding tables against the rule rows of the shared tables, for every
// neighbourhood pattern.
#include <gtest/gtest.h>

#include <utility>

#include "tier1/t1_tables.h"

namespace {

// One row: label for horizontal/vertical/diagonal counts within [min, max].
struct Row {
    int label, h_min, h_max, v_min, v_max, d_min, d_max;
};
// LL and LH bands.
const Row kLL[] = {
    {8, 2, 2, 0, 2, 0, 4}, {7, 1, 1, 1, 2, 0, 4}, {6, 1, 1, 0, 0, 1, 4},
    {5, 1, 1, 0, 0, 0, 0}, {4, 0, 0, 2, 2, 0, 4}, {3, 0, 0, 1, 1, 0, 4},
    {2, 0, 0, 0, 0, 2, 4}, {1, 0, 0, 0, 0, 1, 1}, {0, 0, 0, 0, 0, 0, 0},
};
// HH band, by D and H + V (h columns hold H + V here, v is unused).
const Row kHH[] = {
    {8, 0, 4, 0, 4, 3, 4}, {7, 1, 4, 0, 4, 2, 2}, {6, 0, 0, 0, 4, 2, 2},
    {5, 2, 4, 0, 4, 1, 1}, {4, 1, 1, 0, 4, 1, 1}, {3, 0, 0, 0, 4, 1, 1},
    {2, 2, 4, 0, 4, 0, 0}, {1, 1, 1, 0, 4, 0, 0}, {0, 0, 0, 0, 4, 0, 0},
};

int expected_label(int orientation, uint32_t p) {
    auto on = [&](uint32_t m) { return (p & m) ? 1 : 0; };
    int h = on(kNbLeft) + on(kNbRight);
    int v = on(kNbUp) + on(kNbDown);
    const int d = on(kNbUpLeft) + on(kNbUpRight) + on(kNbDownLeft) + on(kNbDownRight);
    int matches = 0, label = -1;
    if (orientation == kOrientHH) {
        for (const Row& r : kHH)
            if (h + v >= r.h_min && h + v <= r.h_max && d >= r.d_min && d <= r.d_max) {
                ++matches;
                label = r.label;
            }
    } else {
        if (orientation == kOrientHL) std::swap(h, v);
        for (const Row& r : kLL)
            if (h >= r.h_min && h <= r.h_max && v >= r.v_min && v <= r.v_max &&
                d >= r.d_min && d <= r.d_max) {
                ++matches;
                label = r.label;
            }
    }
    EXPECT_EQ(matches, 1) << "rows must partition the patterns";
    return label;
}

TEST(Tier1Tables, ZeroCodingEveryPattern) {
    for (int o = 0; o < 3; ++o) {
        for (uint32_t p = 0; p < 512; ++p) {
            SCOPED_TRACE(testing::Message() << "orientation " << o << " pattern " << p);
            EXPECT_EQ(kZeroCoding[size_t(o)][p], expected_label(o, p));
        }
    }
}

TEST(Tier1Tables, ZeroCodingIgnoresTheSampleItself) {
    for (int o = 0; o < 3; ++o)
        for (uint32_t p = 0; p < 512; ++p)
            EXPECT_EQ(kZeroCoding[size_t(o)][p], kZeroCoding[size_t(o)][p ^ kNbSelf]);
}

TEST(Tier1Tables, ZeroCodingNamedCases) {
    struct Case {
        int orientation;
        uint32_t pattern;
        int label;
    };
    const Case cases[] = {
        {kOrientHL, kNbLeft, 3},        // one horizontal neighbour in HL counts as vertical
        {kOrientLLLH, kNbLeft, 5},
        {kOrientLLLH, kNbUp | kNbDown, 4},
        {kOrientHL, kNbUp | kNbDown, 8},
        {kOrientHH, kNbUpLeft | kNbDownRight | kNbUpRight, 8},
        {kOrientHH, kNbUpLeft, 3},
        {kOrientHH, kNbLeft | kNbUp, 2},
        {kOrientLLLH, 0, 0},
        {kOrientHH, 0, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(kZeroCoding[size_t(c.orientation)][c.pattern], c.label);
}

struct SignRow {
    int h, v, ctx, xr;
};
const SignRow kSignRows[] = {
    {1, 1, 13, 0},  {1, 0, 12, 0},  {1, -1, 11, 0}, {0, 1, 10, 0},   {0, 0, 9, 0},
    {0, -1, 10, 1}, {-1, 1, 11, 1}, {-1, 0, 12, 1}, {-1, -1, 13, 1},
};

TEST(Tier1Tables, SignCodingEveryNeighbourhood) {
    // Each neighbour: 0 insignificant, 2 significant positive, 3 significant negative.
    const uint32_t states[3] = {0, 2, 3};
    auto value = [](uint32_t s) { return s == 2 ? 1 : (s == 3 ? -1 : 0); };
    auto clip = [](int x) { return x > 1 ? 1 : (x < -1 ? -1 : x); };
    for (uint32_t up : states)
        for (uint32_t down : states)
            for (uint32_t left : states)
                for (uint32_t right : states) {
                    const uint32_t index = (up << 6) | (down << 4) | (left << 2) | right;
                    const int h = clip(value(left) + value(right));
                    const int v = clip(value(up) + value(down));
                    SCOPED_TRACE(index);
                    int found = 0;
                    for (const SignRow& r : kSignRows) {
                        if (r.h != h || r.v != v) continue;
                        EXPECT_EQ(kSignCoding[index] >> 1, r.ctx);
                        EXPECT_EQ(kSignCoding[index] & 1, r.xr);
                        ++found;
                    }
                    EXPECT_EQ(found, 1);
                }
}

TEST(Tier1Tables, OrientationOfBands) {
    EXPECT_EQ(t1_orientation(0, 0), kOrientLLLH);
    EXPECT_EQ(t1_orientation(1, 0), kOrientHL);
    EXPECT_EQ(t1_orientation(1, 1), kOrientLLLH);
    EXPECT_EQ(t1_orientation(5, 2), kOrientHH);
}

}  // namespace
