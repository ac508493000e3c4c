"""Plain pure-Python implementations of quellmar's methods: the reference
models the tests compare against exactly, and the alternative a user would
otherwise write, which the benchmarks time (benchmarks/run.py).  They follow
the same operation order, so their results equal quellmar's bit for bit
(benchmarks/run.py checks that before timing), and
they are written the way a careful Python programmer would: constants and
bound methods hoisted out of loops, table validation done once, lookups with
the standard `bisect` module.  They take and return plain lists and floats.

There is one plain-Python statement of each routine's operation order: a
benchmark's bit-for-bit check and a test's exact comparison hold the module
to the same model.
"""
import math
from bisect import bisect_right
from decimal import ROUND_HALF_EVEN, Context, Decimal

EPS = 1e-6
# Cubic feet per second from one inch over one acre in one hour.
ACRE_INCH_PER_HOUR_CFS = 1.00833
# The coefficient of the dimensionless time-area curve of the Clark transform.
TIME_AREA = 1.414


def div(a, b):
    """a / b as the processor divides: a zero divisor gives an infinity or NaN
    instead of Python's ZeroDivisionError."""
    if b != 0.0 or b != b:
        return a / b
    if a == 0.0 or a != a:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def number_text(v):
    """A float as the module's messages write it: the shortest digits that
    read back as v, never an exponent, no ".0" when integral."""
    if v != v:
        return "NaN"
    if v in (math.inf, -math.inf):
        return "inf" if v > 0 else "-inf"
    text = repr(float(v))
    if "e" in text:
        text = format(Decimal(text), "f")
    return text[:-2] if text.endswith(".0") else text


def seconds(td):
    """A timedelta as quellmar reads a time constant: microseconds as
    nanoseconds / 1e9, plus the whole seconds."""
    return (td.microseconds * 1000) / 1e9 + (td.days * 86400 + td.seconds)


# --- Muskingum ----------------------------------------------------------------------

def muskingum_segment(inflow, first, dt, k, x):
    two_k = k + k
    a = two_k * x
    b = two_k * (1.0 - x)
    d = dt + b
    c0 = div(dt - a, d)
    c1 = div(dt + a, d)
    c2 = div(b - dt, d)
    out = [first]
    append = out.append
    o = first
    prev = inflow[0]
    for i in range(1, len(inflow)):
        cur = inflow[i]
        o = c2 * o + (c1 * prev + c0 * cur)
        append(o)
        prev = cur
    return out


def muskingum(inflow, dt, k_seconds, x, sub_reaches, initial_outflow):
    """A sub_reaches of 1 or less routes one segment (of k / sub_reaches)."""
    k = div(k_seconds, float(sub_reaches))
    out = muskingum_segment(inflow, initial_outflow, dt, k, x)
    for _ in range(sub_reaches - 1):
        out = muskingum_segment(out, out[0], dt, k, x)
    return out


# --- exp, log and x^1.5, rounded once -------------------------------------------------------
# quellmar's exp, log and x^1.5 return the exact value rounded once to the
# nearest double; math.exp, math.log and ** come from the platform's C library,
# which need not.  These give the same values as quellmar from independent
# exact arithmetic: Decimal's exp and ln (correctly rounded at any precision),
# and the integer square root.


def _rounded_once(method, x):
    """The double nearest to method(x) for Decimal's correctly rounded exp or
    ln: evaluated with more digits until the value +- one unit in its last
    digit rounds to one double."""
    digits = 40
    while True:
        d = method(Decimal(x), Context(prec=digits, rounding=ROUND_HALF_EVEN))
        unit = Decimal((0, (1,), d.adjusted() - digits + 1))
        exact = Context(prec=digits + 5)  # d +- unit without rounding
        low, high = float(exact.subtract(d, unit)), float(exact.add(d, unit))
        if low == high:
            return low
        digits *= 2


def exp(x):
    if x != x:
        return x
    if x > 710.0:  # exp(x) > 2^1025
        return math.inf
    if x < -746.0:  # exp(x) < 2^-1076
        return 0.0
    return _rounded_once(Decimal.exp, x)


def log(x):
    if x != x or x < 0.0:
        return math.nan
    if x == 0.0:
        return -math.inf
    if x == math.inf or x == 1.0:
        return 0.0 if x == 1.0 else x
    return _rounded_once(Decimal.ln, x)


def pow15(t):
    """t ** 1.5 for a finite t >= 0 (t below 2^600): sqrt(t^3) by the integer
    square root, with a sticky last bit, rounded by the exact int / int."""
    if t != t or t < 0.0:
        return math.nan
    n, d = t.as_integer_ratio()  # d = 2^k
    k = d.bit_length() - 1
    cube = n * n * n
    shift = max(0, 140 - cube.bit_length())  # a root of 70 bits or more
    shift += (3 * k + shift) % 2  # an even power of 2 to take the root of
    root = math.isqrt(cube << shift)
    if root * root != cube << shift:
        root |= 1  # rounds to odd: the later rounding to 53 bits is then exact rounding
    return root / (1 << (3 * k + shift) // 2)


# --- Clark unit hydrograph --------------------------------------------------------------

def time_area(t):
    """The share of the basin draining within the fraction t of tc."""
    if t < 0.5:
        return TIME_AREA * pow15(t)
    return pow15(1.0 - t) * -TIME_AREA + 1.0


def clark_translation(n, tc_s, dt, basin_area):
    """The n translation ordinates (cfs) of one inch of excess."""
    step_hours = dt / 3600.0
    u = []
    cumulative = 0.0
    for i in range(1, n + 1):
        area = time_area(min((dt * i) / tc_s, 1.0))
        u.append((((area - cumulative) * basin_area) * ACRE_INCH_PER_HOUR_CFS) / step_hours)
        cumulative = area
    return u


def clark_unit_hydrograph(dt, basin_area, tc_s, r_s):
    n = math.ceil(tc_s / dt)
    return muskingum_segment(clark_translation(n, tc_s, dt, basin_area), 0.0, dt, r_s, 0.0)


def clark(rainfall, dt, basin_area, tc_s, r_s):
    if tc_s <= 0.0:
        return [0.0] * len(rainfall)
    uh = clark_unit_hydrograph(dt, basin_area, tc_s, r_s)
    n = len(uh)
    out = [0.0] * (len(rainfall) + n - 1)
    for b, r in enumerate(rainfall):
        if r == 0.0:
            continue
        for j in range(n):
            out[b + j] = out[b + j] + r * uh[j]
    return out


# --- deficit-and-constant loss ----------------------------------------------------------------

def nan_min(a, b):
    if a != a:
        return b
    return b if b < a else a


def nan_max(a, b):
    if a != a:
        return b
    return b if b > a else a


def deficit_and_constant(rainfall, time_step, initial_deficit, max_deficit, constant_loss_per_hr, dry_seconds):
    dt = time_step / 3600.0
    recovery = 1.0 - exp(dt / (dry_seconds / -3600.0)) if dry_seconds > 0.0 else 0.0
    loss_per_step = constant_loss_per_hr * dt
    excess_out, loss_out, deficit_out = [], [], []
    add_excess, add_loss, add_deficit = excess_out.append, loss_out.append, deficit_out.append
    deficit = initial_deficit
    for r in rainfall:
        gap = max_deficit - deficit
        if gap != gap or gap < 0.0:  # nan_max(gap, 0.0)
            gap = 0.0
        deficit = nan_min(deficit + recovery * gap, max_deficit)
        if r > 0.0:
            constant = nan_min(r, loss_per_step)
            remaining = r - constant
            fill = nan_min(remaining, deficit)
            deficit = deficit - fill
            add_excess(remaining - fill)
            add_loss(constant + fill)
        else:
            add_excess(0.0)
            add_loss(0.0)
        add_deficit(deficit)
    return excess_out, loss_out, deficit_out


# --- linear-reservoir baseflow -------------------------------------------------------------------

def linear_reservoir(basin_area, rainfall, time_step, layers):
    """layers: list of (name, k_duration_seconds, gw_fraction, initial_q, num_reservoir)."""
    n = len(rainfall)
    dt = time_step / 3600.0
    half_dt = dt * 0.5
    area_factor = basin_area * ACRE_INCH_PER_HOUR_CFS
    total = [0.0] * n
    flows = {}
    for name, k_duration, fraction, initial_q, stages in layers:
        k_per_res = div(k_duration / 3600.0, float(stages))  # 0 stages (a setter's value): unrouted
        if k_per_res < half_dt:
            raise ValueError("Stability Error")
        c = dt / (half_dt + k_per_res)
        d = 1.0 - c
        state = [initial_q] * stages
        out = []
        append = out.append
        for r in rainfall:
            q = area_factor * ((fraction * r) / dt)
            for j in range(stages):
                q = c * q + d * state[j]
                state[j] = q
            append(q)
        for i in range(n):
            total[i] = out[i] + total[i]
        flows[name] = out
    return total, flows


# --- level pool routing ----------------------------------------------------------------------------

def interp(x, xs, ys, left, right):
    """The table lookup on a table validated once by the caller."""
    if x != x:
        raise ValueError("NaN lookup")
    i = bisect_right(xs, x)  # number of abscissae <= x
    if i > 0 and xs[i - 1] == x:
        return ys[i - 1]
    if i == 0:
        return left
    if i == len(xs):
        return right
    x0 = xs[i - 1]
    y0 = ys[i - 1]
    return y0 + ((x - x0) / (xs[i] - x0)) * (ys[i] - y0)


def series_value(data, step, t):
    """A continuous series sampled at whole second t, 0 <= t <= its end."""
    pos = t / step
    i = int(pos)
    if i >= len(data) - 1:
        return data[-1]
    lo = data[i]
    return lo + (pos - i) * (data[i + 1] - lo)


def rated(elevations, discharges, e):
    if e > elevations[-1]:
        raise ValueError(f"elevation {number_text(e)} is above the maximum of the elevation-discharge curve "
                         f"({number_text(elevations[-1])}).")
    if e < elevations[0]:
        return 0.0
    return interp(e, elevations, discharges, 0.0, None)


def constant_outlet(discharge, lower=None, upper=None):
    def q(e, t):
        if lower is not None and e < lower:
            return 0.0
        if upper is not None and e > upper:
            return 0.0
        return discharge
    return q


def specified_outlet(data, step, lower=None, upper=None, cap=None):
    limit = (len(data) - 1) * step

    def q(e, t):
        if lower is not None and e < lower:
            return 0.0
        if upper is not None and e > upper:
            return 0.0
        if t > limit:
            raise ValueError(f"simulation duration {t}s exceeds the specified discharge series length ({limit}s).")
        v = series_value(data, step, t)
        return v if cap is None else nan_min(v, cap)
    return q


def controlled_outlet(elevations, discharges, lower=None, upper=None, cap=None):
    lower = lower if lower is not None and lower > elevations[0] else elevations[0]
    if upper is not None:
        upper = upper if upper < elevations[-1] else elevations[-1]
    cap = math.inf if cap is None else cap

    def q(e, t):
        if e < lower:
            return 0.0
        if upper is not None and e > upper:
            return 0.0
        return nan_min(rated(elevations, discharges, e), cap)
    return q


def uncontrolled_outlet(elevations, discharges, offset=None):
    offset = 0.0 if offset is None else offset

    def q(e, t):
        return rated(elevations, discharges, e + offset)
    return q


def level_pool(inflow, ts, initial_elevation, curve_elevation, curve_storage, outlets, on_storage=None):
    """outlets: dict name -> q(elevation, t).  Returns (storage, elevation,
    total outflow, {name: outflow}).  on_storage, when given, is called with
    the storage of every routed second."""
    S = interp(initial_elevation, curve_elevation, curve_storage, None, None)
    if S is None:
        raise ValueError(f"`elevation` {number_text(initial_elevation)} is outside the range of the "
                         "elevation-storage curve.")
    E = initial_elevation
    n = len(inflow)
    storage, elevation, total = [S], [E], []
    names = list(outlets)
    funcs = [outlets[k] for k in names]
    individual = [[] for _ in names] if n >= 2 else []
    I_prev = inflow[0]
    count = len(funcs)
    for t in range(ts, (n - 1) * ts + 1):
        record = t % ts == 0
        Q = 0.0
        for k in range(count):
            q = funcs[k](E, t)
            if record:
                individual[k].append(q)
            Q = Q + q
        if record:
            total.append(Q)
            if t == ts:
                continue
        I = series_value(inflow, ts, t)
        a = (I_prev + I) * 0.5
        a = a * 1.0
        S = (S + a) - Q * 1.0
        S = S if S > 0.0 else 0.0
        E = interp(S, curve_storage, curve_elevation, None, None)
        if E is None:
            raise ValueError(f"`storage` {number_text(S)} is outside the range of the elevation-storage curve.")
        if on_storage is not None:
            on_storage(S)
        if record:
            storage.append(S)
            elevation.append(E)
        I_prev = I
    return storage, elevation, total, dict(zip(names, individual))


# --- Kling-Gupta efficiency --------------------------------------------------------------------------

def kge(sim, obs, use_log=False):
    if use_log:  # both series as new lists of ln(v + 1e-6)
        sim = [log(v + EPS) for v in sim]
        obs = [log(v + EPS) for v in obs]
    n = len(obs)
    sum_s = 0.0
    for v in sim:
        sum_s = sum_s + v
    sum_o = 0.0
    for v in obs:
        sum_o = sum_o + v
    mean_s = sum_s / n
    mean_o = sum_o / n
    sss = soo = sso = 0.0
    for s, o in zip(sim, obs):
        ds = s - mean_s
        do = o - mean_o
        sss = sss + ds * ds
        soo = soo + do * do
        sso = sso + ds * do
    # a constant series has no correlation (r = 0), decided by its values
    correlation_term = 1.0
    if any(v != sim[0] for v in sim) and any(v != obs[0] for v in obs):
        product = soo * sss
        if (product == 0.0 or math.isinf(product)) and 0.0 < soo < math.inf and 0.0 < sss < math.inf:
            q = math.sqrt(soo) * math.sqrt(sss)
        else:
            q = math.sqrt(product)
        if q != 0.0:
            r = sso / q
            correlation_term = (r - 1.0) * (r - 1.0)
    std_s = math.sqrt(sss / n)
    std_o = math.sqrt(soo / n)
    if abs(mean_o) < EPS:
        mean_o = EPS
    if std_o < EPS:
        std_o = EPS
    beta = mean_s / mean_o
    gamma = std_s / std_o
    return 1.0 - math.sqrt((gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + correlation_term))
