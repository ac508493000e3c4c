/* The complex-number functions of the Universal C Runtime, for Wine.
 *
 * Wine 8's ucrtbase.dll has only stubs for the <complex.h> family (crealf,
 * cabsf, ccos, cpow, ...): a call ends the process.  numpy's Windows wheels
 * call them, so under Wine the test harness (tools/wheel-windows.sh, through
 * tools/windows/wine_crt_shim.py) builds this file into a small DLL that
 * exports every function the numpy binaries import from the API set
 * api-ms-win-crt-math-l1-1-0.dll: the complex ones defined here, each other
 * one forwarded to Wine's own ucrtbase.dll.  Used only by the harness; the
 * quellmar module never calls any of these.
 *
 * The UCRT's types, with MSVC's ABI (long double is double there):
 *   _Dcomplex, _Lcomplex = struct { double v[2]; }  (16 bytes: by reference)
 *   _Fcomplex            = struct { float v[2]; }   (8 bytes: in a register)
 * which is what MinGW-w64 GCC does with the structs below.
 */
#include <complex.h>
#include <math.h>

typedef struct { double v[2]; } dcx;
typedef struct { float v[2]; } fcx;

static double complex to_c(dcx z) { return __builtin_complex(z.v[0], z.v[1]); }
static float complex to_cf(fcx z) { return __builtin_complex(z.v[0], z.v[1]); }
static dcx from_c(double complex z) { dcx r = {{creal(z), cimag(z)}}; return r; }
static fcx from_cf(float complex z) { fcx r = {{crealf(z), cimagf(z)}}; return r; }

/* complex -> complex, in double, float and "long double" (= double). */
#define UNARY(name)                                                      \
    dcx shim_##name(dcx z) { return from_c(name(to_c(z))); }             \
    fcx shim_##name##f(fcx z) { return from_cf(name##f(to_cf(z))); }     \
    dcx shim_##name##l(dcx z) { return from_c(name(to_c(z))); }

UNARY(cacos) UNARY(cacosh) UNARY(casin) UNARY(casinh) UNARY(catan) UNARY(catanh)
UNARY(ccos) UNARY(ccosh) UNARY(cexp) UNARY(clog) UNARY(conj) UNARY(cproj)
UNARY(csin) UNARY(csinh) UNARY(csqrt) UNARY(ctan) UNARY(ctanh)

/* complex -> real */
#define TO_REAL(name)                                                    \
    double shim_##name(dcx z) { return name(to_c(z)); }                  \
    float shim_##name##f(fcx z) { return name##f(to_cf(z)); }            \
    double shim_##name##l(dcx z) { return name(to_c(z)); }

TO_REAL(cabs) TO_REAL(carg) TO_REAL(cimag) TO_REAL(creal)

/* The squared magnitude, as the UCRT defines norm(). */
double shim_norm(dcx z) { return z.v[0] * z.v[0] + z.v[1] * z.v[1]; }
float shim_normf(fcx z) { return z.v[0] * z.v[0] + z.v[1] * z.v[1]; }
double shim_norml(dcx z) { return shim_norm(z); }

/* Base-10 logarithm: log10|z| + i arg(z) / ln 10. */
dcx shim_clog10(dcx z) { dcx r = {{log10(cabs(to_c(z))), carg(to_c(z)) / M_LN10}}; return r; }
fcx shim_clog10f(fcx z) { fcx r = {{log10f(cabsf(to_cf(z))), cargf(to_cf(z)) / (float)M_LN10}}; return r; }
dcx shim_clog10l(dcx z) { return shim_clog10(z); }

dcx shim_cpow(dcx x, dcx y) { return from_c(cpow(to_c(x), to_c(y))); }
fcx shim_cpowf(fcx x, fcx y) { return from_cf(cpowf(to_cf(x), to_cf(y))); }
dcx shim_cpowl(dcx x, dcx y) { return shim_cpow(x, y); }

/* Construction and multiplication helpers of <complex.h>. */
dcx shim__Cbuild(double re, double im) { dcx r = {{re, im}}; return r; }
fcx shim__FCbuild(float re, float im) { fcx r = {{re, im}}; return r; }
dcx shim__LCbuild(double re, double im) { return shim__Cbuild(re, im); }
dcx shim__Cmulcc(dcx x, dcx y) { return from_c(to_c(x) * to_c(y)); }
fcx shim__FCmulcc(fcx x, fcx y) { return from_cf(to_cf(x) * to_cf(y)); }
dcx shim__LCmulcc(dcx x, dcx y) { return shim__Cmulcc(x, y); }
dcx shim__Cmulcr(dcx x, double y) { dcx r = {{x.v[0] * y, x.v[1] * y}}; return r; }
fcx shim__FCmulcr(fcx x, float y) { fcx r = {{x.v[0] * y, x.v[1] * y}}; return r; }
dcx shim__LCmulcr(dcx x, double y) { return shim__Cmulcr(x, y); }
