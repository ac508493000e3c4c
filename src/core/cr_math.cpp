#include "core/cr_math.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

// Design.  Each function has a fast path in double-double arithmetic with a
// bound on its error, and a rounding test: when the interval [value - bound,
// value + bound] rounds to one double, that double is the correctly rounded
// result.  The logarithm first tries a cheaper step still (log_fast: exact
// reduction, the rest in plain doubles, an absolute bound of 2^-68), which
// decides all but about one argument in 2^15 where the logarithm is 1 or more.
// Otherwise (about one argument in 2^14 for the logarithm's double-double
// step, far fewer for the others) an accurate path decides:
//   - exp and log: fixed-point arithmetic on 224-bit integers (7 limbs of 32
//     bits, 192 fraction bits), good to about 2^-180, far below the 2^-118
//     relative distance from a rounding boundary of the hardest double
//     arguments known (Lefevre and Muller's worst cases; exp and log of a
//     non-zero rational are irrational, so no argument other than exp(0)
//     and log(1), handled first, lies on a boundary);
//   - x^1.5: an exact decision, comparing x^3 with the square of the midpoint
//     between neighbouring candidates in integer arithmetic.
// Everything here is +, -, *, /, sqrt of doubles and 64-bit integer
// arithmetic, so any IEEE 754 machine gives the same bits.

namespace quellmar {
namespace {

struct LogRow {
    double c;     // 12-bit approximation of 1/m (of 1/(2m') past kLogSplit)
    double t_hi;  // -ln c (or -ln 2c), a multiple of 2^-42
    double t_lo;  // the rest of it
};

#include "core/cr_math_tables.inc"

using u32 = std::uint32_t;
using u64 = std::uint64_t;

// --- bits ----------------------------------------------------------------------

inline u64 bits_of(double x) { return std::bit_cast<u64>(x); }
inline double from_bits(u64 b) { return std::bit_cast<double>(b); }

// 2^k for -1022 <= k <= 1023.
inline double pow2(int k) { return from_bits(static_cast<u64>(k + 1023) << 52); }

// x * 2^k, exact while the result is a normal double; overflows to inf.
inline double scale2(double x, int k) {
    while (k > 1000) {
        x *= pow2(1000);
        k -= 1000;
    }
    while (k < -1000) {
        x *= pow2(-1000);
        k += 1000;
    }
    return x * pow2(k);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// --- double-double -------------------------------------------------------------

struct DD {
    double h;
    double l;
};

// s + e = a + b exactly, given |a| >= |b| or a = 0.
inline DD fast_two_sum(double a, double b) {
    const double s = a + b;
    const double e = b - (s - a);
    return {s, e};
}

// s + e = a + b exactly.
inline DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// Veltkamp's split: a = hi + lo with hi of 26 bits and lo of 27, exactly
// (|a| < 2^995).
inline DD split(double a) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

// p + e = a * b exactly (Dekker), without a fused multiply-add.
inline DD two_prod(double a, double b) {
    const double p = a * b;
    const DD as = split(a);
    const DD bs = split(b);
    const double e = ((as.h * bs.h - p) + as.h * bs.l + as.l * bs.h) + as.l * bs.l;
    return {p, e};
}

inline DD dd_mul(DD a, DD b) {
    const DD p = two_prod(a.h, b.h);
    return fast_two_sum(p.h, p.l + (a.h * b.l + a.l * b.h));
}

inline DD dd_add(DD a, DD b) {
    const DD s = two_sum(a.h, b.h);
    return fast_two_sum(s.h, s.l + (a.l + b.l));
}

// a / d for a small positive integer d (exact in a double).
inline DD dd_div_small(DD a, double d) {
    const double q1 = a.h / d;
    const DD p = two_prod(q1, d);
    const double r = ((a.h - p.h) - p.l) + a.l;
    return fast_two_sum(q1, r / d);
}

// The double nearest to h + l when every value in [h + l - err, h + l + err]
// rounds to it; false otherwise.  (h, l) is normalised (|l| <= ulp(h) / 2)
// and err is far above ulp(l), so the rounding of l +- err does not matter.
inline bool round_test(DD v, double err, double& out) {
    const double up = v.h + (v.l + err);
    const double down = v.h + (v.l - err);
    out = up;
    return up == down;
}

// --- fixed point: 7 limbs of 32 bits, two's complement, value = W / 2^192 ------

constexpr int kLimbs = 7;
constexpr int kFracBits = 192;

struct Fix {
    u32 w[kLimbs];  // least significant first; w[6] is the signed integer part
};

Fix fix_int(int k) {
    Fix r{};
    r.w[kLimbs - 1] = static_cast<u32>(k);
    return r;
}

bool fix_negative(const Fix& a) { return (a.w[kLimbs - 1] >> 31) != 0; }

Fix fix_add(const Fix& a, const Fix& b) {
    Fix r{};
    u64 carry = 0;
    for (int i = 0; i < kLimbs; ++i) {
        const u64 t = u64{a.w[i]} + b.w[i] + carry;
        r.w[i] = static_cast<u32>(t);
        carry = t >> 32;
    }
    return r;
}

Fix fix_neg(const Fix& a) {
    Fix r{};
    u64 carry = 1;
    for (int i = 0; i < kLimbs; ++i) {
        const u64 t = u64{static_cast<u32>(~a.w[i])} + carry;
        r.w[i] = static_cast<u32>(t);
        carry = t >> 32;
    }
    return r;
}

Fix fix_sub(const Fix& a, const Fix& b) { return fix_add(a, fix_neg(b)); }

Fix fix_abs(const Fix& a) { return fix_negative(a) ? fix_neg(a) : a; }

// a * b, truncated towards zero in magnitude.
Fix fix_mul(const Fix& a, const Fix& b) {
    const bool negative = fix_negative(a) != fix_negative(b);
    const Fix x = fix_abs(a);
    const Fix y = fix_abs(b);
    u32 prod[2 * kLimbs] = {};
    for (int i = 0; i < kLimbs; ++i) {
        u64 carry = 0;
        for (int j = 0; j < kLimbs; ++j) {
            const u64 t = u64{x.w[i]} * y.w[j] + prod[i + j] + carry;
            prod[i + j] = static_cast<u32>(t);
            carry = t >> 32;
        }
        prod[i + kLimbs] = static_cast<u32>(carry);
    }
    Fix r{};
    for (int i = 0; i < kLimbs; ++i) r.w[i] = prod[i + kFracBits / 32];
    return negative ? fix_neg(r) : r;
}

// a * n for a small non-negative integer n.
Fix fix_mul_small(const Fix& a, u32 n) {
    const bool negative = fix_negative(a);
    const Fix x = fix_abs(a);
    Fix r{};
    u64 carry = 0;
    for (int i = 0; i < kLimbs; ++i) {
        const u64 t = u64{x.w[i]} * n + carry;
        r.w[i] = static_cast<u32>(t);
        carry = t >> 32;
    }
    return negative ? fix_neg(r) : r;
}

// a / n for a small positive integer n, truncated towards zero.
Fix fix_div_small(const Fix& a, u32 n) {
    const bool negative = fix_negative(a);
    Fix x = fix_abs(a);
    u64 rem = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
        const u64 cur = (rem << 32) | x.w[i];
        x.w[i] = static_cast<u32>(cur / n);
        rem = cur % n;
    }
    return negative ? fix_neg(x) : x;
}

// The double d in fixed point, exactly when its bits lie between 2^-192 and
// 2^30, else truncated.
Fix fix_from_double(double d) {
    const u64 b = bits_of(d);
    const int field = static_cast<int>((b >> 52) & 0x7ff);
    u64 mant = b & ((u64{1} << 52) - 1);
    int e;  // d = mant * 2^e
    if (field == 0) {
        e = -1074;
    } else {
        mant |= u64{1} << 52;
        e = field - 1075;
    }
    Fix r{};
    int shift = e + kFracBits;  // position of mant's lowest bit
    if (shift < 0) {
        if (shift <= -64) return r;
        mant >>= -shift;
        shift = 0;
    }
    const int limb = shift / 32;
    const int off = shift % 32;
    // mant << off spans at most three limbs.
    const u64 low = mant << off;
    const u64 high = off == 0 ? 0 : mant >> (64 - off);
    const u32 parts[3] = {static_cast<u32>(low), static_cast<u32>(low >> 32), static_cast<u32>(high)};
    for (int i = 0; i < 3; ++i)
        if (limb + i < kLimbs) r.w[limb + i] = parts[i];
    return (b >> 63) ? fix_neg(r) : r;
}

// An approximation of a as a double (for choosing reductions only).
double fix_approx(const Fix& a) {
    const Fix x = fix_abs(a);
    double v = 0.0;
    for (int i = kLimbs - 1; i >= kLimbs - 4; --i) v = v * 4294967296.0 + x.w[i];
    v = v * pow2(-96);
    return fix_negative(a) ? -v : v;
}

Fix fix_ln2() {
    Fix r{};
    for (int i = 0; i < kLimbs; ++i) r.w[i] = kLn2Fix[i];
    return r;
}

// exp(a) = 2^k * E for |a| < 2^11: returns E (in [0.7, 1.42]) and k.
// Error of E about 2^-180.
Fix fix_exp(const Fix& a, int& k) {
    const double kd = (fix_approx(a) * kInvLn2 + 0x1.8p52) - 0x1.8p52;  // nearest integer
    k = static_cast<int>(kd);
    const Fix kln2 = fix_mul_small(fix_ln2(), static_cast<u32>(k < 0 ? -k : k));
    // r = a - k ln2, |r| <= 0.35; then exp(r) = exp(r / 256)^256.
    const Fix r = fix_div_small(k < 0 ? fix_add(a, kln2) : fix_sub(a, kln2), 256);
    Fix sum = fix_int(1);
    Fix term = fix_int(1);
    for (u32 n = 1; n <= 17; ++n) {  // |r| < 2^-9.5: the 18th term is below 2^-225
        term = fix_div_small(fix_mul(term, r), n);
        sum = fix_add(sum, term);
    }
    for (int i = 0; i < 8; ++i) sum = fix_mul(sum, sum);
    return sum;
}

// The double nearest to v * 2^scale, subnormals and overflow included.
// `sure` is false when v lies within 2^-172 of a rounding boundary, closer
// than its error allows to decide.
double fix_round(const Fix& v, int scale, bool& sure) {
    sure = true;
    const bool negative = fix_negative(v);
    const Fix mag = fix_abs(v);
    int top = -1;
    for (int i = kLimbs - 1; i >= 0 && top < 0; --i)
        if (mag.w[i] != 0) top = i * 32 + 31 - std::countl_zero(mag.w[i]);
    if (top < 0) return negative ? -0.0 : 0.0;
    auto bit = [&](int i) -> u64 { return i < 0 ? 0 : (mag.w[i / 32] >> (i % 32)) & 1u; };
    const int ex = top - kFracBits + scale;  // value in [2^ex, 2^(ex+1))
    if (ex > 1023) return negative ? -kInf : kInf;
    const int precision = ex >= -1022 ? 53 : ex + 1075;
    if (precision < 0) return negative ? -0.0 : 0.0;
    const int q = top - precision + 1;  // lowest kept bit
    u64 kept = 0;
    for (int i = top; i >= q; --i) kept = (kept << 1) | bit(i);
    // The bits below q: the round bit and the rest, compared with the midpoint.
    const bool round_bit = bit(q - 1) != 0;
    bool rest_zero = true;
    for (int i = q - 2; i >= 0 && rest_zero; --i)
        if (bit(i)) rest_zero = false;
    // Within 2^20 units (2^-172) of the midpoint: the leading bits below the
    // round bit are all equal down to bit 20.
    {
        bool near = true;
        const u64 want = round_bit ? 0 : 1;
        for (int i = q - 2; i >= 20; --i)
            if (bit(i) != want) {
                near = false;
                break;
            }
        if (near) sure = false;
    }
    bool up = false;
    if (round_bit) up = !rest_zero || (kept & 1) != 0;
    const double k = static_cast<double>(kept + (up ? 1 : 0));
    const int f = q - kFracBits + scale;
    // k * 2^f is representable (k has been rounded to the precision there),
    // so the two scalings are exact, or overflow to inf.
    double r;
    if (f < -1000) r = scale2(scale2(k, f + 1000), -1000);
    else r = scale2(k, f);
    return negative ? -r : r;
}

// --- exp -------------------------------------------------------------------------

// exp(x) > 2^1025 above 710 and exp(x) < 2^-1076 below -746; in between,
// overflow and underflow come out of the rounding itself.
constexpr double kExpOverflow = 710.0;
constexpr double kExpUnderflow = -746.0;

// exp(x) = 2^k * (h + l) for |x| < 746, relative error below 2^-93.
DD exp_core(double x, int& k) {
    const double kd = (x * kInvLn2 + 0x1.8p52) - 0x1.8p52;  // nearest integer
    k = static_cast<int>(kd);
    // r = x - k ln2 in double-double: kd * kLn2Hi and kd * kLn2Mid are exact
    // (|k| < 2^11, 42-bit constants); x - kd * kLn2Hi is exact (Sterbenz).
    const double r0 = x - kd * kLn2Hi;
    DD r = two_sum(r0, -(kd * kLn2Mid));
    r = fast_two_sum(r.h, r.l - kd * kLn2Lo);
    // exp(r) = exp(r / 256)^256, |r / 256| < 2^-9.5: Taylor to degree 11
    // (remainder below 2^-120), then eight squarings.
    const DD s{r.h * 0x1p-8, r.l * 0x1p-8};
    DD p{1.0, 0.0};
    for (int n = 11; n >= 1; --n) p = dd_add(DD{1.0, 0.0}, dd_div_small(dd_mul(s, p), n));
    for (int i = 0; i < 8; ++i) p = dd_mul(p, p);
    return p;
}

}  // namespace

double cr_exp_accurate(double x) noexcept {
    if (std::isnan(x)) return x + x;
    if (x > kExpOverflow) return kInf;
    if (x < kExpUnderflow) return 0.0;
    if (x == 0.0) return 1.0;
    if (std::fabs(x) < 0x1p-54) return 1.0;  // exp(x) within 2^-54 of 1
    int k = 0;
    const Fix e = fix_exp(fix_from_double(x), k);
    bool sure = false;
    return fix_round(e, k, sure);
}

double cr_exp(double x) noexcept {
    if (std::isnan(x)) return x + x;
    if (x > kExpOverflow) return kInf;
    if (x < kExpUnderflow) return 0.0;
    // |x| < 2^-54: exp(x) lies strictly between the midpoints around 1.
    if (std::fabs(x) < 0x1p-54) return 1.0;
    int k = 0;
    const DD e = exp_core(x, k);
    // Error: Taylor remainder and roundings of the polynomial about 2^-103,
    // grown by the squarings to below 2^-94; the reduction error k * 2^-137.
    double y;
    if (k >= -1021 && round_test(e, e.h * 0x1p-88, y)) return scale2(y, k);
    return cr_exp_accurate(x);
}

// --- log -------------------------------------------------------------------------

namespace {

// ln(2^ep * m') where m' = m (i below kLogSplit) or m/2 (from it on), for the
// significand bits `mant` of m in [1, 2) (52 bits) and ep the exponent to
// use (the caller adds the 1 of m/2).  Returns (h, l) with
//   |h + l - result| < 2^-70.3 |result|   (see cr_log).
DD log_core(int ep, u64 mant) {
    const int i = static_cast<int>(mant >> 43);
    const LogRow& row = kLogTable[i];
    // m = m_hi + m_lo with 26 and 27 bits; both products with the 12-bit c
    // are exact, m_hi * c - 1 is exact (Sterbenz), so z = zh + zl exactly.
    const double m = from_bits((u64{1023} << 52) | mant);
    const double m_hi = from_bits(bits_of(m) & ~((u64{1} << 27) - 1));
    const double m_lo = m - m_hi;
    const DD z = two_sum(m_hi * row.c - 1.0, m_lo * row.c);  // |z| < 2^-9
    // ln(1 + z) = z - z^2/2 + z^3 P(z).  z^2 / 2 in two pieces: a = zh to 26
    // bits (a^2 exact), b = the rest of z; z^2 / 2 = a^2 / 2 + b (a + b / 2).
    const double a = from_bits(bits_of(z.h) & ~((u64{1} << 27) - 1));
    const double b = (z.h - a) + z.l;
    const double half_a2 = 0.5 * (a * a);
    const double zz = z.h * z.h;
    const double poly =
        (zz * z.h) *
        (0x1.5555555555555p-2 +
         z.h * (-0.25 + z.h * (0.2 + z.h * (-0x1.5555555555555p-3 + z.h * (0x1.2492492492492p-3 + z.h * -0.125)))));
    // e ln2_hi + t_hi is exact (multiples of 2^-42 below 2^11).
    const double big = static_cast<double>(ep) * kLn2Hi + row.t_hi;
    const DD s1 = fast_two_sum(z.h, -half_a2);
    const DD s2 = two_sum(big, s1.h);
    const double small = ((((s2.l + s1.l) + z.l) + row.t_lo) + static_cast<double>(ep) * kLn2Rest) - b * (a + 0.5 * b);
    return fast_two_sum(s2.h, small + poly);
}

struct LogArg {
    int ep;    // exponent, with the 1 of m/2 added past kLogSplit
    u64 mant;  // the 52 significand bits of m in [1, 2)
};

// A positive finite x as its unbiased exponent and its 52 significand bits
// (a subnormal scaled by 2^64 first, which is exact).
struct Unpacked {
    int e;
    u64 mant;
};

Unpacked unpack(double x) {
    u64 b = bits_of(x);
    int e = 0;
    if ((b >> 52) == 0) {  // subnormal
        b = bits_of(x * 0x1p64);
        e = -64;
    }
    return {e + static_cast<int>(b >> 52) - 1023, b & ((u64{1} << 52) - 1)};
}

// x = 2^e * m for positive finite x.
LogArg log_arg(double x) {
    auto [e, mant] = unpack(x);
    if (static_cast<int>(mant >> 43) >= kLogSplit) ++e;
    return {e, mant};
}

}  // namespace

double cr_log_accurate(double x) noexcept {
    if (std::isnan(x)) return x + x;
    if (x < 0.0) return kNaN;
    if (x == 0.0) return -kInf;
    if (x == kInf) return kInf;
    if (x == 1.0) return 0.0;
    const LogArg arg = log_arg(x);
    // m' = x / 2^ep in [0.7, 1.42].  Newton's step for ln m' from y0:
    //   y1 = y0 + m' exp(-y0) - 1,  error (y0 - ln m')^2 / 2 and fixed-point
    // roundings; y0 from the fast path has relative error below 2^-70, so
    // y1 is good to about 2^-140 relative and 2^-180 absolute.
    const DD y0d = log_core(0, arg.mant);
    const Fix y0 = fix_add(fix_from_double(y0d.h), fix_from_double(y0d.l));
    int k = 0;
    Fix e = fix_exp(fix_neg(y0), k);  // exp(-y0) = 2^k e
    const bool halve = static_cast<int>(arg.mant >> 43) >= kLogSplit;
    const double m = from_bits((u64{1023} << 52) | arg.mant);
    Fix p = fix_mul(fix_from_double(halve ? m * 0.5 : m), e);
    for (; k > 0; --k) p = fix_add(p, p);
    for (; k < 0; ++k) p = fix_div_small(p, 2);
    const Fix y1 = fix_sub(fix_add(y0, p), fix_int(1));
    const u32 n = static_cast<u32>(arg.ep < 0 ? -arg.ep : arg.ep);
    const Fix eln2 = fix_mul_small(fix_ln2(), n);
    const Fix result = arg.ep < 0 ? fix_sub(y1, eln2) : fix_add(y1, eln2);
    bool sure = false;
    return fix_round(result, 0, sure);
}

namespace {

// The first, cheapest step of the logarithm, written once for a single double
// and for a pair of them (two lanes of one vector register, see
// cr_log_array): the same operations in the same order, so both give the
// same bits.  For a positive normal finite x it returns (hi, lo) with
//   |hi + lo - ln x| < 2^-68   (absolute),
// |lo| small; the caller's rounding test decides whether that is enough.
//
// x = 2^e m, m in [1, 2), row i of the table from the top 9 bits of m.  With
// m_hi = m cut to 20 significant bits and m_lo = m - m_hi (< 2^-19):
//   p1 = m_hi c - 1 is exact (a 32-bit product, Sterbenz), a multiple of
//        2^-31 with |p1| < 2^-9;
//   p2 = m_lo c is exact (33 bits times 12);
//   z = p1 + p2 = m c - 1, |z| < 2^-9.
// ln x = e' ln2_hi + t_hi + z + (t_lo + e' ln2_rest) + R(z),
// R(z) = ln(1 + z) - z = -z^2/2 + z^3 (1/3 - z/4 + z^2/5 - z^3/6 + z^4/7) + O(z^8/8),
// where e' = e, or e + 1 from kLogSplit on (the table then holds -ln 2c).
// e' ln2_hi + t_hi is a multiple of 2^-42 below 2^10 and p1 one of 2^-31,
// so B = e' ln2_hi + t_hi + p1 is exact; (S, s) = B + p2 exactly.  The rest
// is plain double arithmetic on terms below 2^-18.9; its errors: z rounded
// 2^-71 (through R'), z^2 2^-72, the polynomial 2^-78, three sums 2^-72 each,
// truncation 2^-75, tables and e' ln2_rest 2^-85: below 1.6 * 2^-70.  The
// rounding test's own sums add 2^-72: 2^-68 covers it all.
constexpr double kLogFastErr = 0x1p-68;
constexpr double kLogSplitM = 1.0 + kLogSplit / 512.0;  // m from which e' = e + 1

template <class D>
struct Lanes;

template <>
struct Lanes<double> {
    using U = u64;
    static U bits(double x) { return bits_of(x); }
    static double from(U b) { return from_bits(b); }
    // Without a branch: m >= t is a coin toss on most data.
    static double at_or_above(double m, double t) { return from_bits(bits_of(1.0) & (0 - static_cast<U>(m >= t))); }
    template <double LogRow::*F>
    static double row(U i) {
        return kLogTable[i].*F;
    }
};

#if defined(__GNUC__)
// Two doubles in one register (SSE2 on x86-64, NEON on aarch64): every
// operation acts on each lane as the scalar one would.
typedef double Pair __attribute__((vector_size(16)));
typedef u64 PairBits __attribute__((vector_size(16)));

template <>
struct Lanes<Pair> {
    using U = PairBits;
    static U bits(Pair x) { return std::bit_cast<U>(x); }
    static Pair from(U b) { return std::bit_cast<Pair>(b); }
    static Pair at_or_above(Pair m, double t) {
        return std::bit_cast<Pair>(std::bit_cast<U>(m >= t) & bits_of(1.0));
    }
    template <double LogRow::*F>
    static Pair row(U i) {
        return Pair{kLogTable[i[0]].*F, kLogTable[i[1]].*F};
    }
};
#endif

template <class D>
struct LogFast {
    D hi;
    D lo;
};

template <class D>
inline LogFast<D> log_fast(D x) {
    using L = Lanes<D>;
    using U = typename L::U;
    constexpr u64 kOne = u64{1023} << 52;
    const U b = L::bits(x);
    const U mant = b & ((u64{1} << 52) - 1);
    const D m = L::from(mant | kOne);
    const D m_hi = L::from((mant & ~((u64{1} << 33) - 1)) | kOne);
    const D m_lo = m - m_hi;
    const U i = mant >> 43;
    const D c = L::template row<&LogRow::c>(i);
    const D t_hi = L::template row<&LogRow::t_hi>(i);
    const D t_lo = L::template row<&LogRow::t_lo>(i);
    // e' as a double: the biased exponent in the low bits of 2^52.
    const D e = (L::from((b >> 52) | (u64{0x433} << 52)) - (0x1p52 + 1023.0)) + L::at_or_above(m, kLogSplitM);
    const D p1 = m_hi * c - 1.0;
    const D p2 = m_lo * c;
    const D big = (e * kLn2Hi + t_hi) + p1;
    // two_sum(big, p2)
    const D sum = big + p2;
    const D bb = sum - big;
    const D s = (big - (sum - bb)) + (p2 - bb);
    const D z = p1 + p2;
    const D z2 = z * z;
    const D poly = (z2 * z) * ((0x1.5555555555555p-2 + z * -0.25) +
                               z2 * ((0.2 + z * -0x1.5555555555555p-3) + z2 * 0x1.2492492492492p-3));
    const D rest = (t_lo + e * kLn2Rest) + (poly - 0.5 * z2);
    return {sum, s + rest};
}

// The logarithm of x > 0 finite (x != 1) past the first step: the
// double-double path of log_core with its own test, then the accurate path.
double log_second(double x) {
    const LogArg arg = log_arg(x);
    const DD r = log_core(arg.ep, arg.mant);
    // Error bound: relative to |z| the polynomial's roundings (z^3 P with
    // relative error 5 * 2^-53 and |z^2| < 2^-18) below 2^-70.3, the
    // truncation 2^-75, the other roundings below 2^-85.  Where the table
    // term or e is non-zero, |result| >= 2^-10.1 >= |z| / 2 and e ln2 adds
    // at most 2^-84 absolute: 2^-68 |h| covers both cases.
    double y;
    if (round_test(r, std::fabs(r.h) * 0x1p-68, y)) return y;
    return cr_log_accurate(x);
}

}  // namespace

double cr_log(double x) noexcept {
    if (!(x >= 0x1p-1022) || x == kInf) {  // not a positive normal finite double
        if (std::isnan(x)) return x + x;
        if (x == 0.0) return -kInf;
        if (x < 0.0) return kNaN;
        if (x == kInf) return kInf;
        return log_second(x);  // subnormal
    }
    const LogFast<double> f = log_fast(x);
    const double up = f.hi + (f.lo + kLogFastErr);
    if (up == f.hi + (f.lo - kLogFastErr)) return up;
    if (x == 1.0) return 0.0;
    return log_second(x);
}

void cr_log_array(double* values, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__GNUC__)
    for (; i + 2 <= n; i += 2) {
        const Pair x{values[i], values[i + 1]};
        if (x[0] >= 0x1p-1022 && x[0] < kInf && x[1] >= 0x1p-1022 && x[1] < kInf) {
            const LogFast<Pair> f = log_fast(x);
            const Pair up = f.hi + (f.lo + kLogFastErr);
            const Pair down = f.hi + (f.lo - kLogFastErr);
            values[i] = up[0] == down[0] ? up[0] : cr_log(x[0]);
            values[i + 1] = up[1] == down[1] ? up[1] : cr_log(x[1]);
        } else {
            values[i] = cr_log(x[0]);
            values[i + 1] = cr_log(x[1]);
        }
    }
#endif
    for (; i < n; ++i) values[i] = cr_log(values[i]);
}

// --- x^1.5 -----------------------------------------------------------------------

namespace {

// Unsigned integers of up to 8 limbs of 32 bits, least significant first.
struct Big {
    u32 w[8];
};

Big big_from(u64 v) {
    Big r{};
    r.w[0] = static_cast<u32>(v);
    r.w[1] = static_cast<u32>(v >> 32);
    return r;
}

Big big_mul(const Big& a, const Big& b) {  // product below 2^256 by use
    Big r{};
    for (int i = 0; i < 8; ++i) {
        u64 carry = 0;
        for (int j = 0; i + j < 8; ++j) {
            const u64 t = u64{a.w[i]} * b.w[j] + r.w[i + j] + carry;
            r.w[i + j] = static_cast<u32>(t);
            carry = t >> 32;
        }
    }
    return r;
}

int big_bits(const Big& a) {
    for (int i = 7; i >= 0; --i)
        if (a.w[i] != 0) return i * 32 + 32 - std::countl_zero(a.w[i]);
    return 0;
}

Big big_shl(const Big& a, int s) {  // result below 2^256 by use
    Big r{};
    const int limb = s / 32;
    const int off = s % 32;
    for (int i = 7; i >= limb; --i) {
        u64 v = u64{a.w[i - limb]} << off;
        if (off != 0 && i - limb - 1 >= 0) v |= u64{a.w[i - limb - 1]} >> (32 - off);
        r.w[i] = static_cast<u32>(v);
    }
    return r;
}

int big_cmp(const Big& a, const Big& b) {
    for (int i = 7; i >= 0; --i)
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    return 0;
}

// Sign of a * 2^ea - b * 2^eb for non-zero a, b.
int compare_scaled(const Big& a, int ea, const Big& b, int eb) {
    const int ta = big_bits(a) + ea;
    const int tb = big_bits(b) + eb;
    if (ta != tb) return ta < tb ? -1 : 1;
    if (ea >= eb) return big_cmp(big_shl(a, ea - eb), b);
    return big_cmp(a, big_shl(b, eb - ea));
}

// A positive finite double as n * 2^e with an integer n.
void decode(double x, u64& n, int& e) {
    const u64 b = bits_of(x);
    const int field = static_cast<int>(b >> 52);
    n = b & ((u64{1} << 52) - 1);
    if (field == 0) {
        e = -1074;
    } else {
        n |= u64{1} << 52;
        e = field - 1075;
    }
}

// Sign of x^3 - (m * 2^f)^2 for the rational m * 2^f (m > 0).
int cube_vs_square(const Big& x3, int ex3, u64 m, int f) {
    const Big mb = big_from(m);
    return compare_scaled(x3, ex3, big_mul(mb, mb), 2 * f);
}

// The double nearest to x^1.5 (x positive finite), starting from a candidate
// within a few units in the last place: checks x^3 against the squares of
// the midpoints to the neighbours, exactly, and moves until it lies between.
double pow15_decide(double x, double y) {
    u64 mx = 0;
    int ex = 0;
    decode(x, mx, ex);
    const Big xb = big_from(mx);
    const Big x3 = big_mul(big_mul(xb, xb), xb);
    const int ex3 = 3 * ex;
    for (;;) {
        if (y == kInf) y = std::numeric_limits<double>::max();
        u64 n = 0;
        int f = 0;
        if (y == 0.0) {
            n = 0;
            f = -1074;
        } else {
            decode(y, n, f);
        }
        // Upper midpoint (2n + 1) 2^(f-1); past the largest double it is the
        // overflow threshold, where rounding gives inf.
        const int up = cube_vs_square(x3, ex3, 2 * n + 1, f - 1);
        if (up > 0 || (up == 0 && (n & 1) != 0)) {
            if (y == std::numeric_limits<double>::max()) return kInf;
            y = from_bits(bits_of(y) + 1);
            continue;
        }
        if (y == 0.0) return 0.0;
        // Lower midpoint: at the bottom of a binade (normal y) the gap below is
        // half as wide.
        const bool binade_bottom = n == (u64{1} << 52) && f > -1074;
        const int low = binade_bottom ? cube_vs_square(x3, ex3, (u64{1} << 54) - 1, f - 2)
                                      : cube_vs_square(x3, ex3, 2 * n - 1, f - 1);
        if (low < 0 || (low == 0 && (n & 1) != 0)) {
            y = from_bits(bits_of(y) - 1);
            continue;
        }
        return y;
    }
}

// x^1.5 = 2^(3j) * (m s + m sl) with x = 2^(2j) m, m in [1, 4), s + sl =
// sqrt(m).  Relative error below 2^-100.
DD pow15_core(double x, int& j) {
    const auto [e, mant] = unpack(x);
    // Even exponent: m = x / 2^(2j) in [1, 4).
    const int odd = e & 1;
    j = (e - odd) / 2;
    const double m = from_bits(mant | (static_cast<u64>(1023 + odd) << 52));
    const double s = std::sqrt(m);  // correctly rounded (IEEE)
    // m - s^2 exactly enough: s^2 = p + q exactly, m - p exact (Sterbenz).
    const DD sq = two_prod(s, s);
    const double rest = (m - sq.h) - sq.l;
    const double sl = rest / (2.0 * s);
    const DD y = two_prod(m, s);
    return fast_two_sum(y.h, y.l + m * sl);
}

}  // namespace

double cr_pow15_exact(double x) noexcept {
    if (!(x > 0.0) || x == kInf) {
        if (std::isnan(x)) return x + x;
        if (x == 0.0) return 0.0;
        if (x < 0.0) return kNaN;
        return kInf;
    }
    int j = 0;
    const DD y = pow15_core(x, j);
    return pow15_decide(x, scale2(y.h, 3 * j));
}

double cr_pow15(double x) noexcept {
    if (!(x > 0.0) || x == kInf) {
        if (std::isnan(x)) return x + x;
        if (x == 0.0) return 0.0;  // (+-0)^1.5 = +0
        if (x < 0.0) return kNaN;
        return kInf;
    }
    int j = 0;
    const DD y = pow15_core(x, j);
    // y.h in [1, 8): the result is normal for 3j >= -1022.
    double r;
    if (3 * j >= -1022 && round_test(y, y.h * 0x1p-96, r)) return scale2(r, 3 * j);
    return pow15_decide(x, scale2(y.h, 3 * j));
}

}  // namespace quellmar
