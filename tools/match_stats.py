"""Statistics of a match between two engines: Elo difference from a score, its
95% interval, the likelihood of superiority and the sequential probability
ratio test (SPRT).  Python standard library only; used by tools/match.py and
tested by tests/test_match_stats.py.

Two models of the results are offered:

- trinomial: every game is one sample, 1 (win), 1/2 (draw) or 0 (loss) for
  the first engine;
- pentanomial: every game pair (one opening played with both colours) is one
  sample, the pair's points 0, 1/2, 1, 3/2 or 2 divided by 2.  Pairing removes
  the part of the variance that comes from unbalanced openings, so its interval
  is narrower and honest when openings favour one side; the match tool uses it
  whenever it has complete pairs.

Both reduce a sample to (n, mean, variance): n samples, the mean score in
[0, 1] and the variance of one sample.  The interval and LOS are computed
from these three numbers with the normal approximation of the mean; the SPRT's
log-likelihood ratio from the counts themselves (multinomial_llr).
"""
import math

Z95 = 1.959963984540054  # two-sided 95% quantile of the normal distribution

# Empty bins get this many samples before an LLR is computed, so that any
# mean score can be fitted (see multinomial_llr).
EMPTY_BIN = 1e-3


def score_from_elo(elo):
    """Expected score of a player `elo` points stronger (logistic model)."""
    return 1.0 / (1.0 + 10.0 ** (-elo / 400.0))


def elo_from_score(score):
    """Elo difference that gives `score` (0..1); +-inf at 1 and 0."""
    if score <= 0.0:
        return -math.inf
    if score >= 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0)


def normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def trinomial(wins, draws, losses):
    """(n, mean, variance of one game) of a W/D/L record."""
    n = wins + draws + losses
    if n == 0:
        return 0, 0.5, 0.0
    mean = (wins + 0.5 * draws) / n
    var = (wins * (1.0 - mean) ** 2 + draws * (0.5 - mean) ** 2 + losses * mean ** 2) / n
    return n, mean, var


def pair_bin(first_score_a, first_score_b):
    """Pentanomial bin (0..4) of a pair from the first engine's two game scores."""
    return int(round(2.0 * (first_score_a + first_score_b)))


def pentanomial(counts):
    """(n, mean, variance of one pair's score / 2) of the five pair counts,
    index k = pairs in which the first engine scored k/2 points out of 2."""
    n = sum(counts)
    if n == 0:
        return 0, 0.5, 0.0
    mean = sum(c * k / 4.0 for k, c in enumerate(counts)) / n
    var = sum(c * (k / 4.0 - mean) ** 2 for k, c in enumerate(counts)) / n
    return n, mean, var


def elo_interval(n, mean, var, z=Z95):
    """(Elo, low, high): the Elo of the mean score and of the ends of its
    confidence interval mean +- z * sqrt(var / n), clipped to [0, 1]."""
    elo = elo_from_score(mean)
    if n == 0:
        return elo, -math.inf, math.inf
    half = z * math.sqrt(var / n)
    return elo, elo_from_score(max(0.0, mean - half)), elo_from_score(min(1.0, mean + half))


def los(n, mean, var):
    """Likelihood of superiority: the probability that the first engine's true
    expected score is above 1/2, under the normal approximation of the mean."""
    if n == 0:
        return 0.5
    if var == 0.0:
        return 1.0 if mean > 0.5 else 0.0 if mean < 0.5 else 0.5
    return normal_cdf((mean - 0.5) / math.sqrt(var / n))


def sprt_bounds(alpha, beta):
    """(lower, upper) LLR bounds: below lower H0 is accepted, above upper H1."""
    return math.log(beta / (1.0 - alpha)), math.log((1.0 - beta) / alpha)


def llr(n, mean, var, elo0, elo1):
    """Normal approximation of the log-likelihood ratio of H1 (the Elo
    difference is elo1) against H0 (it is elo0): the mean of n samples is
    taken as normal with the observed variance, so

        LLR = n * (s1 - s0) * (2 * mean - s0 - s1) / (2 * var)

    with s0, s1 the expected scores at elo0 and elo1.  It is the difference of
    the two normal log-likelihoods of the observed mean; positive when the mean
    lies nearer s1.  A quick estimate for large samples; the match uses
    multinomial_llr, which is also right for small ones."""
    if n == 0 or var <= 0.0:
        return 0.0
    s0, s1 = score_from_elo(elo0), score_from_elo(elo1)
    return n * (s1 - s0) * (2.0 * mean - s0 - s1) / (2.0 * var)


def constrained_mle(freqs, values, mean):
    """The distribution over `values` nearest to the observed frequencies
    `freqs` (summing to 1, none zero) in likelihood, among those with the
    given mean: p_i = f_i / (1 + lam * (x_i - mean)), where lam is the root of
    g(lam) = sum f_i (x_i - mean) / (1 + lam (x_i - mean)), a decreasing
    function on the interval where every denominator is positive.  Found by
    Newton steps kept inside a shrinking bracket (bisection when a step
    leaves it)."""
    d = [x - mean for x in values]
    low, high = -1.0 / max(d), -1.0 / min(d)  # open interval of lam
    lam = 0.0
    for _ in range(100):
        terms = [1.0 + lam * di for di in d]
        g = sum(f * di / t for f, di, t in zip(freqs, d, terms))
        if g > 0.0:
            low = lam
        else:
            high = lam
        slope = -sum(f * di * di / (t * t) for f, di, t in zip(freqs, d, terms))
        step = lam - g / slope if slope < 0.0 else high + 1.0
        if not low < step < high:
            step = 0.5 * (low + high)
        if abs(step - lam) < 1e-13:
            lam = step
            break
        lam = step
    return [f / (1.0 + lam * di) for f, di in zip(freqs, d)]


def multinomial_llr(counts, values, elo0, elo1):
    """Log-likelihood ratio of H1 (the Elo difference is elo1) against H0
    (elo0) for samples taking the given values (scores in [0, 1]) with the
    given counts: the generalized SPRT in the logistic-Elo model.  Each
    hypothesis fixes the expected score s(elo); the distribution under it is
    the maximum-likelihood one with that mean (constrained_mle), and

        LLR = sum_i n_i * log(p1_i / p0_i).

    Empty bins count EMPTY_BIN samples, so that every score in [0, 1] can be
    reached as a mean.  For large samples this tends to the normal form of
    llr(); for small ones it stays small where the normal form, with a
    sample variance near zero, would decide after a pair or two."""
    if sum(counts) == 0:
        return 0.0
    regular = [c if c > 0 else EMPTY_BIN for c in counts]
    total = sum(regular)
    freqs = [c / total for c in regular]
    p0 = constrained_mle(freqs, values, score_from_elo(elo0))
    p1 = constrained_mle(freqs, values, score_from_elo(elo1))
    return sum(c * math.log(b / a) for c, a, b in zip(regular, p0, p1))


def pentanomial_llr(counts, elo0, elo1):
    """LLR over game pairs (counts of pair scores 0, 1/2, 1, 3/2, 2)."""
    return multinomial_llr(counts, (0.0, 0.25, 0.5, 0.75, 1.0), elo0, elo1)


def trinomial_llr(wins, draws, losses, elo0, elo1):
    """LLR over single games."""
    return multinomial_llr((losses, draws, wins), (0.0, 0.5, 1.0), elo0, elo1)


def sprt_decision(value, alpha, beta):
    """'H0', 'H1' or None (go on) for an LLR value."""
    lower, upper = sprt_bounds(alpha, beta)
    if value <= lower:
        return "H0"
    if value >= upper:
        return "H1"
    return None


def format_elo(value):
    if math.isinf(value):
        return "+inf" if value > 0 else "-inf"
    return "%+.1f" % (round(value, 1) + 0.0)  # no "-0.0"
