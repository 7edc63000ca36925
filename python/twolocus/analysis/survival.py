"""Crossing times with their uncertainty: survival statistics of first passages.

Every function takes two arrays of the same length, one entry per run:
``times``, the generation of the run's first passage (or of its end), and
``status``, what happened at that time:

- EVENT (1): the run reached the event at that generation;
- CENSORED (0): it never did; its time is its last generation;
- COMPETING (2): another stop condition ended it first, at that generation.

Events are counted before censorings and stops at the same generation (a run
at risk at generation t is one whose time is t or later). Intervals are at
``level`` (95 % unless told otherwise), with z the standard normal
quantile at 1/2 + level/2 (1.959964 at 95 %).

The curve is the fraction of runs past the event by generation t:

- Kaplan-Meier, F(t) = 1 - S(t), S(t) = prod over event generations
  t_j <= t of (1 - d_j / n_j) (d_j events among n_j runs at risk), with
  Greenwood's variance Var S(t) = S(t)^2 sum d_j / (n_j (n_j - d_j)) and the
  log(-log) band S(t)^exp(+-z se), se = sqrt(sum d_j / (n_j (n_j - d_j)))
  / abs(log S(t)); the band is empty (NaN) where S(t) = 0; kaplan_meier
  alone counts competing stops as censorings;
- at generations before which no run was censored (nor stopped), as when
  every run that misses the event runs to the same last generation, that
  curve is the binomial fraction F(t) = k / n (k events by t among n runs)
  and its band is the Wilson score interval instead;
- with competing stops, the Aalen-Johansen cumulative incidence
  F(t) = sum over t_j <= t of S(t_j-) d_j / n_j, S the all-stop
  Kaplan-Meier, with the delta-method (Greenwood-type) variance of
  Marubini and Valsecchi and the log(-log) band F^exp(-+z se / (F log F));
  empty (NaN) where F = 1 and [0, 0] where F = 0.

The median is the first generation where F reaches 1/2 (the midpoint up to
the next rise where F equals 1/2 exactly on an interval); its interval
(Brookmeyer-Crowley) runs from the first generation where the band's upper
edge reaches 1/2 to the first where its lower edge does. The restricted
mean is the area under 1 - F from generation 0 to the horizon: the mean of
min(T, horizon), T the generation of the event (never, for a competing
stop). Its variance is the delta-method one (with nothing competing,
sum A_j^2 d_j / (n_j (n_j - d_j)), A_j the area under S from t_j to the
horizon), and its interval is rmst -+ z se, clipped to [0, horizon].

ROW_COLUMNS, the columns of one table row (summary_row), None where a value
is undefined:

- runs: the number of runs;
- events: runs that reached the event;
- censored: runs that never did, by their last generation;
- competing: runs ended by another stop condition first;
- median: the median generation of the event, None where the curve never
  reaches 1/2;
- median_low, median_high: its interval; median_high is None where the
  band's lower edge never reaches 1/2 (and median_low likewise);
- rmst: the mean generation of the event restricted to the horizon, the
  area under 1 - F from 0 to the horizon;
- rmst_low, rmst_high: its interval;
- horizon: the generation the restricted mean stops at (by default the
  last generation observed).
"""

import math
from statistics import NormalDist

import numpy as np

from ..errors import TwolocusError

CENSORED, EVENT, COMPETING = 0, 1, 2
ROW_COLUMNS = ["runs", "events", "censored", "competing", "median", "median_low",
               "median_high", "rmst", "rmst_low", "rmst_high", "horizon"]
# Values this close to 1/2 count as equal to it (the median's midpoint rule).
HALF_TOLERANCE = 1e-8


# The largest level: above it 1/2 + level/2 rounds to 1, whose quantile is infinite.
MAX_LEVEL = 1 - 2 ** -52


def level_problem(level, text=None):
    """Takes a level (and the text it was read from); returns why it cannot
    be used as one line, or None for a level from 0 to MAX_LEVEL, both
    excluded and included."""
    shown = repr(level) if text is None else text
    if not 0 < level < 1:
        return f"The level [{shown}] is not between 0 and 1."
    if level > MAX_LEVEL:
        return (f"The level [{shown}] is too close to 1: its intervals would be infinite; "
                f"give at most {MAX_LEVEL!r}.")
    return None


def z_value(level):
    """The two-sided normal quantile of level (0 < level <= MAX_LEVEL),
    1.96 at 0.95; TwolocusError for another level."""
    problem = level_problem(level)
    if problem:
        raise TwolocusError(problem)
    return NormalDist().inv_cdf(0.5 + level / 2)


def _arrays(times, status):
    """Checks and returns (times as floats, status as ints)."""
    t = np.asarray(times, dtype=float).reshape(-1)
    s = np.asarray(status).reshape(-1)
    if t.shape != s.shape:
        raise TwolocusError(f"The times [{t.size}] and statuses [{s.size}] differ in number.")
    if t.size and (not np.all(np.isfinite(t)) or t.min() < 0):
        raise TwolocusError("A time is negative or not a number.")
    bad = ~np.isin(s, (CENSORED, EVENT, COMPETING))
    if bad.any():
        raise TwolocusError(f"Unknown status [{s[bad][0]}].")
    return t, s.astype(int)


def counts(times, status):
    """Returns a dict of runs, events, censored and competing."""
    t, s = _arrays(times, status)
    return {"runs": int(t.size), "events": int((s == EVENT).sum()),
            "censored": int((s == CENSORED).sum()), "competing": int((s == COMPETING).sum())}


def _risk_table(t, s):
    """Per distinct time: (time, at risk, events, competing stops)."""
    times, inverse = np.unique(t, return_inverse=True)
    at_risk = np.cumsum(np.bincount(inverse)[::-1])[::-1].astype(float)
    events = np.bincount(inverse, weights=(s == EVENT)).astype(float)
    competing = np.bincount(inverse, weights=(s == COMPETING)).astype(float)
    return times, at_risk, events, competing


def _steps(t, s):
    """The risk table at times with an event or a competing stop, with
    S(t-) (all-stop Kaplan-Meier just before) and F (cumulative incidence)."""
    times, n, d, c = _risk_table(t, s)
    keep = d + c > 0
    times, n, d, c = times[keep], n[keep], d[keep], c[keep]
    survival = np.cumprod(1 - (d + c) / n)
    before = np.concatenate(([1.0], survival[:-1]))
    return times, n, d, c, before, np.cumsum(before * d / n)


def _greenwood_terms(n, d):
    """d / (n (n - d)), 0 where every run at risk stops (its weight is 0 there)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(n > d, d / (n * (n - d)), 0.0)


def _wilson(k, n, z):
    """Wilson score interval of the binomial fraction k / n."""
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z / (1 + z * z / n) * np.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    return np.clip(centre - half, 0, 1), np.clip(centre + half, 0, 1)


def _loglog(p, se, z):
    """log(-log) band (low, high) of a probability p with standard error se:
    p^exp(+-z se / |p log p|); NaN where p is 0 or 1."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        spread = np.exp(z * se / np.abs(p * np.log(p)))
        low, high = p ** spread, p ** (1 / spread)
    inside = (p > 0) & (p < 1)
    return np.where(inside, low, np.nan), np.where(inside, high, np.nan)


def kaplan_meier(times, status, level=0.95, wilson=True):
    """Kaplan-Meier fraction past the event, competing stops counted as
    censored. Returns a dict of arrays over the generations with an event:
    'time', 'at_risk', 'events', 'fraction' (1 - S), 'se' (Greenwood's, of
    S and so of the fraction), 'low', 'high' (the band of the fraction), and
    'wilson', true where no run was censored at an earlier generation: there
    the fraction is k / n and the band Wilson's, elsewhere (and everywhere
    with wilson=False) log(-log)."""
    t, s = _arrays(times, status)
    z = z_value(level)
    times, n, d, _ = _risk_table(t, s)
    lost = np.bincount(np.unique(t, return_inverse=True)[1], weights=(s != EVENT))
    wilson = (np.cumsum(lost) - lost == 0) & wilson
    keep = d > 0
    times, n, d, wilson = times[keep], n[keep], d[keep], wilson[keep]
    survival = np.cumprod(1 - d / n)
    greenwood = np.cumsum(_greenwood_terms(n, d))
    se = survival * np.sqrt(greenwood)
    s_low, s_high = _loglog(survival, se, z)
    fraction, low, high = 1 - survival, 1 - s_high, 1 - s_low
    k = np.cumsum(d)
    w_low, w_high = _wilson(k, max(t.size, 1), z)
    fraction = np.where(wilson, k / max(t.size, 1), fraction)
    low, high = np.where(wilson, w_low, low), np.where(wilson, w_high, high)
    return {"time": times, "at_risk": n, "events": d, "fraction": fraction, "se": se,
            "low": low, "high": high, "wilson": wilson}


def _delta_variance(n, d, c, before, weights):
    """Delta-method variance of sum_j S(t_j-) (d_j / n_j) w_j, a functional
    of the cumulative incidence, one weight per step (Marubini and Valsecchi;
    with no competing stops it is Greenwood's)."""
    jump = before * d / n * weights
    later = np.cumsum(jump[::-1])[::-1] - jump
    a = before * weights
    return float(np.sum(a * a * d * (n - d) / n ** 3 - 2 * a * later * d / n ** 2
                        + later * later * _greenwood_terms(n, d + c)))


def cumulative_incidence(times, status, level=0.95):
    """Aalen-Johansen cumulative incidence of the event, competing stops a
    competing risk. Returns a dict of arrays over the generations with an
    event or a competing stop: 'time', 'at_risk', 'events', 'competing',
    'fraction', 'se' (delta method), 'low', 'high' (log(-log) band; [0, 0]
    before the first event) and 'wilson' (all false)."""
    t, s = _arrays(times, status)
    z = z_value(level)
    times, n, d, c, before, fraction = _steps(t, s)
    # Var F(t_k) = sum_{j<=k} [S_j-^2 d(n-d)/n^3 - 2 S_j- (F_k - F_j) d/n^2
    #                         + (F_k - F_j)^2 g_j], expanded in F_k for cumsums.
    g = _greenwood_terms(n, d + c)
    own = np.cumsum(before ** 2 * d * (n - d) / n ** 3)
    cross = np.cumsum(before * d / n ** 2)
    cross_f = np.cumsum(before * d / n ** 2 * fraction)
    variance = (own - 2 * fraction * cross + 2 * cross_f + fraction ** 2 * np.cumsum(g)
                - 2 * fraction * np.cumsum(g * fraction) + np.cumsum(g * fraction ** 2))
    se = np.sqrt(np.maximum(variance, 0))
    low, high = _loglog(fraction, se, z)
    low, high = np.where(fraction == 0, 0.0, low), np.where(fraction == 0, 0.0, high)
    return {"time": times, "at_risk": n, "events": d, "competing": c, "fraction": fraction,
            "se": se, "low": low, "high": high, "wilson": np.zeros(times.size, bool)}


def curve(times, status, level=0.95):
    """The fraction past the event the statistics use: the cumulative
    incidence where a run stopped for another reason, else Kaplan-Meier
    (with Wilson's band where nothing is censored)."""
    _, s = _arrays(times, status)
    if np.any(s == COMPETING):
        return cumulative_incidence(times, status, level)
    return kaplan_meier(times, status, level)


def _first_half(x, y):
    """First x where y reaches 1/2; where y equals 1/2 there and rises later,
    the midpoint to the first x where it does. NaN entries are skipped;
    None where y never reaches 1/2."""
    keep = ~np.isnan(y) & (y > 0.5 - HALF_TOLERANCE)
    if not keep.any():
        return None
    x, y = x[keep], y[keep]
    if abs(y[0] - 0.5) < HALF_TOLERANCE and np.any(y > y[0] + HALF_TOLERANCE):
        return float((x[0] + x[np.argmax(y > y[0] + HALF_TOLERANCE)]) / 2)
    return float(x[0])


def median(times, status, level=0.95):
    """Returns (median, low, high) of the event's generation, each None
    where the curve (or the band's edge) never reaches 1/2."""
    found = curve(times, status, level)
    x = found["time"]
    return (_first_half(x, found["fraction"]), _first_half(x, found["high"]),
            _first_half(x, found["low"]))


def restricted_mean(times, status, horizon=None, level=0.95):
    """Returns (rmst, variance, low, high, horizon): the mean generation of
    the event restricted to horizon (default the last generation observed),
    the area under 1 - F from 0 to horizon; None for no runs."""
    t, s = _arrays(times, status)
    if t.size == 0:
        return None, None, None, None, horizon
    last = float(t.max())
    horizon = last if horizon is None else float(horizon)
    if not 0 <= horizon <= last:
        raise TwolocusError(f"The horizon [{horizon:g}] is not between 0 and the last "
                            f"generation observed [{last:g}].")
    z = z_value(level)
    steps, n, d, c, before, _ = _steps(t, s)
    weights = np.maximum(horizon - steps, 0.0)
    rmst = horizon - float(np.sum(before * d / n * weights))
    variance = _delta_variance(n, d, c, before, weights)
    half = z * math.sqrt(max(variance, 0.0))
    return rmst, variance, max(rmst - half, 0.0), min(rmst + half, horizon), horizon


def summary_row(times, status, level=0.95, horizon=None):
    """One table row: a dict of every ROW_COLUMNS name (see the module's
    description), ints for the counts, floats or None otherwise."""
    row = counts(times, status)
    if row["runs"] == 0:
        row.update({column: None for column in ROW_COLUMNS[4:]})
        row["horizon"] = None if horizon is None else float(horizon)
        return row
    row["median"], row["median_low"], row["median_high"] = median(times, status, level)
    row["rmst"], _, row["rmst_low"], row["rmst_high"], row["horizon"] = restricted_mean(
        times, status, horizon, level)
    return row


def table_rows(samples, level=0.95, horizon=None):
    """Takes (key, times, status) per group and condition, key a dict of the
    columns that name them; returns one dict per sample: the key's columns
    followed by ROW_COLUMNS."""
    return [{**key, **summary_row(times, status, level, horizon)}
            for key, times, status in samples]


def step_curve(times, status, level=0.95, horizon=None):
    """The curve as steps to draw with steps-post: (x, y, low, high) arrays
    from generation 0 (fraction 0) through each step to the horizon (default
    the last generation observed). The band is NaN where undefined."""
    t, _ = _arrays(times, status)
    found = curve(times, status, level)
    x, y, low, high = found["time"], found["fraction"], found["low"], found["high"]
    if x.size == 0 or x[0] > 0:
        x, y, low, high = (np.concatenate(([0.0], a)) for a in (x, y, low, high))
    end = float(t.max()) if horizon is None and t.size else horizon
    if end is not None and end > x[-1]:
        x, y, low, high = (np.concatenate((a, [b])) for a, b in
                           ((x, end), (y, y[-1]), (low, low[-1]), (high, high[-1])))
    return x, y, low, high
