"""Survival statistics against cases worked by hand and published worked examples.

z = 1.959964 at 95 %. Status: 1 event, 0 censored, 2 competing stop.
"""

import math

import numpy as np
import pytest
from pytest import approx

from twolocus.analysis.survival import (ROW_COLUMNS, cumulative_incidence, kaplan_meier, median,
                               restricted_mean, step_curve, summary_row, table_rows)
from twolocus.errors import TwolocusError

# The 6-MP arm of the leukaemia remission trial (Freireich et al. 1963, Blood 21:699),
# remission in weeks, as listed by Gehan (1965) and reprinted in the standard texts.
SIX_MP = ([6, 6, 6, 6, 7, 9, 10, 10, 11, 13, 16, 17, 19, 20, 22, 23, 25, 32, 32, 34, 35],
          [1, 1, 1, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0])


def test_kaplan_meier_of_the_6mp_arm():
    # Kaplan-Meier, Greenwood standard errors and log(-log) 95 % limits of S as
    # tabulated for this arm in the textbooks (e.g. Kleinbaum & Klein, "Survival
    # Analysis: A Self-Learning Text", the remission data; Stata's sts list, whose
    # limits are log(-log)): t, S, se, low, high.
    published = [(6, .8571, .0764, .6197, .9516), (7, .8067, .0869, .5631, .9228),
                 (10, .7529, .0963, .5032, .8894), (13, .6902, .1068, .4316, .8491),
                 (16, .6275, .1141, .3675, .8049), (22, .5378, .1282, .2678, .7468),
                 (23, .4482, .1346, .1881, .6801)]
    km = kaplan_meier(*SIX_MP, wilson=False)
    found = [km["time"], 1 - km["fraction"], km["se"], 1 - km["high"], 1 - km["low"]]
    assert np.round(found, 4).T.tolist() == [list(row) for row in published]
    assert list(km["at_risk"]) == [21, 17, 15, 12, 11, 7, 6]
    # Median 23 weeks, Brookmeyer-Crowley log(-log) interval 13 to not reached.
    assert median(*SIX_MP) == (23, 13, None)
    # Restricted mean to 23 weeks: 17.91, se 1.55 (the published restricted mean of
    # this arm); by hand: 6 + 1 x .8571 + 3 x .8067 + 3 x .7529 + 3 x .6902
    # + 6 x .6275 + 1 x .5378 = 17.909.
    rmst, variance, _, _, horizon = restricted_mean(*SIX_MP, horizon=23)
    assert (round(rmst, 2), round(math.sqrt(variance), 2), horizon) == (17.91, 1.55, 23)
    # By default week 6, before any censoring, is the binomial 3/21 with Wilson's
    # interval: centre (p + z^2/2n) / (1 + z^2/n) = .198086, half-width
    # z / (1 + z^2/n) sqrt(p q / n + z^2 / 4n^2) = .148275.
    km = kaplan_meier(*SIX_MP)
    assert list(km["wilson"]) == [True] + [False] * 6
    assert (km["low"][0], km["high"][0]) == approx((.049810, .346361), abs=1e-6)
    assert summary_row(*SIX_MP) == approx(dict(
        runs=21, events=9, censored=12, competing=0, median=23, median_low=13, median_high=None,
        rmst=23.287395, rmst_low=17.745660, rmst_high=28.829130, horizon=35))


def test_nothing_censored():
    # Generations 2, 4, 6, 8, all events: F = 1/4, 1/2, 3/4, 1. Wilson at k = 2 of 4:
    # centre (.5 + z^2/8) / (1 + z^2/4) = .5, half z / 1.960365 x sqrt(.0625 + .060023)
    # = .349961; k = 1: .372473 +- .326885; k = 4: .755055 - .244945 = .510109.
    km = kaplan_meier([2, 4, 6, 8], [1] * 4)
    assert list(km["fraction"]) == [.25, .5, .75, 1] and all(km["wilson"])
    assert km["low"] == approx([.045587, .150039, .300642, .510109], abs=1e-6)
    assert km["high"] == approx([.699358, .849961, .954413, 1], abs=1e-6)
    # F = 1/2 exactly from 4 to 6: the median is the midpoint 5; the upper edge
    # reaches 1/2 at 2, the lower edge only at 8. Restricted mean to 8 = the mean 5,
    # variance sum A^2 d/(n(n-d)) = 3^2/12 + 1.5^2/6 + .5^2/2 = 1.25 = sum (x - 5)^2 / n^2.
    assert median([2, 4, 6, 8], [1] * 4) == (5, 2, 8)
    assert restricted_mean([2, 4, 6, 8], [1] * 4) == approx((5, 1.25, 5 - 2.191306,
                                                             5 + 2.191306, 8))
    # Control arm of the same trial (Cox & Oakes, Analysis of Survival Data, Table 1.1;
    # no censoring): S(10) = 8/21 = .381 with se .106 = sqrt(p q / n).
    control = [1, 1, 2, 2, 3, 4, 4, 5, 5, 8, 8, 8, 8, 11, 11, 12, 12, 15, 17, 22, 23]
    km = kaplan_meier(control, [1] * 21)
    assert (km["fraction"][5], round(km["se"][5], 3)) == (13 / 21, .106)


def test_censored_by_hand():
    # 1, 2, 2+, 3, 4+: at 1 (5 at risk) and 2 (4 at risk, the run censored at 2
    # still counted) nothing was censored before: F = 1/5, 2/5 with Wilson. At 3
    # (2 at risk): S = .8 x .75 x .5 = .3; Greenwood sum 1/20 + 1/12 + 1/2 = .633333,
    # se(S) = .3 sqrt(.633333) = .238747; log(-log): se .795822 / 1.203973 = .660997,
    # exp(z x .660997) = 3.652933, S in [.3^3.652933, .3^(1/3.652933)] = [.012302, .719218].
    times, status = [1, 2, 2, 3, 4], [1, 1, 0, 1, 0]
    km = kaplan_meier(times, status)
    assert list(km["wilson"]) == [True, True, False]
    assert km["fraction"] == approx([.2, .4, .7]) and km["se"][2] == approx(.238747, abs=1e-6)
    assert (km["low"][2], km["high"][2]) == approx((1 - .719218, 1 - .012302), abs=1e-6)
    # Median 3; the upper edge reaches 1/2 at 1 (Wilson high .624465), the lower never.
    # Restricted mean to 4: 1 + .8 + .6 + .3 = 2.7; A = 1.7, .9, .3 at 1, 2, 3:
    # variance 1.7^2/20 + .9^2/12 + .3^2/2 = .257.
    assert median(times, status) == (3, 1, None)
    assert restricted_mean(times, status)[:2] == approx((2.7, .257))
    x, y, low, _ = step_curve(times, status)
    assert list(x) == [0, 1, 2, 3, 4] and list(y) == approx([0, .2, .4, .7, .7])
    assert low[0] == 0 and low[-1] == low[-2]


def test_cumulative_incidence():
    # 1, 2 (competing), 3, 4+, 5: F = 1/5; S(2) = .8 x 3/4 = .6; F(3) = .2 + .6/3 = .4;
    # F(5) = .4 + .4 x 1/1 = .8. Delta-method variance at 3 (Marubini & Valsecchi):
    # step 1: .032 - 2 x .2/25 + .2^2/20 = .018; step 2: .2^2/12 = .003333;
    # step 3: .6^2 x 2/27 = .026667; total .048. At 1 it is the binomial .2 x .8/5.
    times, status = [1, 2, 3, 4, 5], [1, 2, 1, 0, 1]
    ci = cumulative_incidence(times, status)
    assert ci["fraction"] == approx([.2, .2, .4, .8])
    assert ci["se"] ** 2 == approx([.032, .032, .048, .032])
    # Restricted mean to 5: 1 + 2 x .8 + 2 x .6 = 3.8; weights 5 - t = 4, 3, 2, 0,
    # variance 16 x 4/125 - 2 x 4 x .4/25 + .4^2/20 + .4^2/12 + 1.2^2 x 2/27 = .512,
    # interval 3.8 - z sqrt(.512) = 2.397564 and the horizon.
    assert restricted_mean(times, status) == approx((3.8, .512, 2.397564, 5, 5))
    assert median(times, status) == (5, 1, None)
    assert summary_row(times, status)["competing"] == 1
    # Without competing stops the variance is Greenwood's; without censoring the
    # binomial one (as documented for mstate's Cuminc).
    assert cumulative_incidence(*SIX_MP)["se"] == approx(kaplan_meier(*SIX_MP)["se"])
    ci = cumulative_incidence([1, 2, 2, 3, 4], [1, 2, 1, 2, 1])
    assert ci["se"] ** 2 == approx(ci["fraction"] * (1 - ci["fraction"]) / 5)
    # Satagopan et al. (2004), "A note on competing risks in survival data analysis",
    # Br J Cancer 91:1229, Table 2: 305 patients; censored at 7, 14, 24; breast-cancer
    # deaths at 10, 16, 23, 27; other deaths at 18, 26; the rest followed longer.
    # Overall S at 10..27 = 99.7, 99.3, 99.0, 98.7, 98.3, 98.0 %; each death adds
    # h1 x S(t-) = 0.3 %, S(t-) = 100, 99.7, 99.0, 98.3 % (the table sums the rounded
    # increments to 1.2 %; unrounded they make 1.320 %).
    ci = cumulative_incidence([7, 10, 14, 16, 18, 23, 24, 26, 27] + [100] * 296,
                              [0, 1, 0, 1, 2, 1, 0, 2, 1] + [0] * 296)
    n, stops, f = ci["at_risk"][:6], (ci["events"] + ci["competing"])[:6], ci["fraction"][:6]
    assert n.tolist() == [304, 302, 301, 300, 298, 297]
    assert np.round(100 * np.cumprod(1 - stops / n), 1).tolist() == [99.7, 99.3, 99.0, 98.7,
                                                                      98.3, 98.0]
    assert np.round(100 * np.diff(f, prepend=0), 1).tolist() == [.3, .3, 0, .3, 0, .3]
    assert f[5] == approx(.013202, abs=1e-6)


def test_rows_and_errors():
    rows = table_rows([({"N": 100}, *SIX_MP), ({"N": 200}, [], [])], level=0.9)
    assert list(rows[0]) == ["N"] + ROW_COLUMNS
    assert rows[0]["median"] == 23 and rows[0]["rmst_high"] < 28.829130
    assert rows[1] == {"N": 200, "runs": 0, "events": 0, "censored": 0, "competing": 0,
                       **{column: None for column in ROW_COLUMNS[4:]}}
    for args, options, message in [
            (([1, 2], [1, 3]), {}, "Unknown status [3]."),
            (([1, -2], [1, 1]), {}, "A time is negative or not a number."),
            (([1, 2], [1]), {}, "The times [2] and statuses [1] differ in number."),
            (([1], [1]), {"level": 1}, "The level [1] is not between 0 and 1."),
            (([1, 5], [1, 0]), {"horizon": 6},
             "The horizon [6] is not between 0 and the last generation observed [5].")]:
        with pytest.raises(TwolocusError) as error:
            restricted_mean(*args, **options)
        assert str(error.value) == message
