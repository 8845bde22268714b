// The kernel tests on Linux run the engines over a C library whose floor,
// ceil, round and trunc return a NaN unchanged, signalling or not, as some
// C libraries do (glibc quiets it). These definitions take the place of the
// C library's in this test program, so an engine that leaves the quieting to
// the library gives a signalling NaN here and its tests fail on Linux too.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

enum class rounding { floor, ceil, round, trunc };

template <class T>
T round_keeping_nans(T x, rounding mode) {
    if (x != x) return x;
    // at or above 2^52 (2^23 for float) every value is an integer
    if (!(std::fabs(x) < T(1) / std::numeric_limits<T>::epsilon())) return x;
    T t = static_cast<T>(static_cast<int64_t>(x));  // exact: toward zero
    switch (mode) {
        case rounding::floor: if (t > x) t -= 1; break;
        case rounding::ceil: if (t < x) t += 1; break;
        case rounding::round: if (std::fabs(x - t) >= T(0.5)) t += x > 0 ? 1 : -1; break;
        case rounding::trunc: break;
    }
    return std::copysign(t, x);  // every result has the sign of x (-0.0 included)
}

}  // namespace

extern "C" {
double floor(double x) { return round_keeping_nans(x, rounding::floor); }
double ceil(double x) { return round_keeping_nans(x, rounding::ceil); }
double round(double x) { return round_keeping_nans(x, rounding::round); }
double trunc(double x) { return round_keeping_nans(x, rounding::trunc); }
float floorf(float x) { return round_keeping_nans(x, rounding::floor); }
float ceilf(float x) { return round_keeping_nans(x, rounding::ceil); }
float roundf(float x) { return round_keeping_nans(x, rounding::round); }
float truncf(float x) { return round_keeping_nans(x, rounding::trunc); }
}

// The definitions above are the ones the program calls, and they round as
// the C library does.
TEST(NanPassingMath, KeepsASignallingNaNAndRoundsAsUsual) {
    double (*volatile round_d)(double) = &::round;
    float (*volatile floor_f)(float) = &::floorf;
    EXPECT_EQ(std::bit_cast<uint64_t>(round_d(std::bit_cast<double>(0x7FF4000000000001ull))), 0x7FF4000000000001ull);
    EXPECT_EQ(std::bit_cast<uint32_t>(floor_f(std::bit_cast<float>(0xFFA00001u))), 0xFFA00001u);
    const struct {
        double x, floor, ceil, round, trunc;
    } cases[] = {{2.5, 2, 3, 3, 2},           {-2.5, -3, -2, -3, -2},    {0.49999999999999994, 0, 1, 0, 0},
                 {-0.3, -1, -0.0, -0.0, -0.0}, {-0.0, -0.0, -0.0, -0.0, -0.0}, {4503599627370497.0, 4503599627370497.0,
                  4503599627370497.0, 4503599627370497.0, 4503599627370497.0},
                 {-1e300, -1e300, -1e300, -1e300, -1e300}};
    for (const auto& c : cases) {
        double (*volatile fns[4])(double) = {&::floor, &::ceil, &::round, &::trunc};
        const double want[4] = {c.floor, c.ceil, c.round, c.trunc};
        for (int f = 0; f < 4; ++f)
            EXPECT_EQ(std::bit_cast<uint64_t>(fns[f](c.x)), std::bit_cast<uint64_t>(want[f])) << c.x << " fn " << f;
    }
    EXPECT_EQ(roundf(-7.5f), -8.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(ceilf(-0.5f)), std::bit_cast<uint32_t>(-0.0f));
    EXPECT_TRUE(std::isinf(truncf(std::numeric_limits<float>::infinity())));
}
