"""Model: the parameters of a generation's model, with its fitness table read."""

import numbers
import os

from ..native import core
from .keywords import condition_texts, keyword_values

CHANGES = ("12", "23", "13", "21", "32", "31")
MUTATION_KEYWORDS = tuple(f"mu_{locus}{change}" for locus in "ab" for change in CHANGES)
# A fitness by coefficients (instead of a table), each a parameter of the table.
COEFFICIENT_KEYWORDS = ("fitness_a", "fitness_b") + tuple(
    f"{name}_{locus}" for locus in "ab" for name in ("s2", "h2", "s3", "h3")) + ("combine", "epistasis")


def _shown(value):
    """A keyword's value as repr shows it: numbers as int or float, file
    names as str or bytes."""
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return float(value)
    return value


class Model:
    """A parameter set of the model: the fitness table, mutation, recombination and weights.

    Parameters
    ----------
    fitness : str, bytes or os.PathLike, optional
        A table of fitness codes 0 to 8 (``--fitness``); a str is encoded as
        the file system encodes names, so a name from os.listdir names its file.
    fitness_values : str, bytes or os.PathLike, optional
        A table of real fitness values (``--fitness-values``); give one of the two,
        or the coefficients below.
    fitness_a, fitness_b : sequence of six floats, optional
        A locus's fitness of its genotypes 11, 12, 13, 22, 23, 33 outright
        (``--fitness-a``), instead of its s and h below.
    s2_a, h2_a, s3_a, h3_a, s2_b, h2_b, s3_b, h3_b : float, optional
        A fitness by coefficients instead of a table (``--s2-a`` ...): the
        selection and dominance coefficients of alleles 2 and 3 against 1 at
        each locus (s -1 to 1000, default 0; h default 0.5).
    combine : {"multiplicative", "additive"}, optional
        How the loci's fitnesses combine (default "multiplicative").
    epistasis : float, optional
        E, between the two loci's derived alleles (default 0).
    column : int, optional
        The table's column, 1 the first after the alleles (default 1).
    s, k : float, optional
        The codes' coefficients as fractions (s 0 to 1, k -1 to 1000; default 0).
    mu : float, optional
        The six one-way rates 1->2, 2->3, 1->3 at both loci.
    mu_a12, mu_a23, mu_a13, mu_a21, mu_a32, mu_a31, mu_b12, ..., mu_b31 : float, optional
        One change i->j at locus a or b; overrides `mu` for that change.
    recombination : float, optional
        The probability per meiosis, 0 to 0.5 (default 0.5).
    weights : {"exact", "floor"}, optional
        Parent weight count x fitness, or its integer truncation (default "exact").
    A dict by deme name instead of one value gives demes of a demography
    their own ``fitness``, ``fitness_values``, ``column``, ``s`` or ``k``
    (``fitness_values={"B": "local.tsv"}``, the key None for the run's value),
    as ``NAME=VALUE`` does on the command line; the demes are known when a
    call gives the demography, and a name that is no deme of it is refused
    then.
    change : str or sequence of str, optional
        Changes of the environment (``--change``): each "TIME:PARAMETER=VALUE",
        from generation TIME on the parameter (mu, mu-a12 ..., recombination,
        fitness, fitness-values, column, s, k, s2-a ... epistasis) takes VALUE;
        resolved (tables read) when the model is made.

    Raises
    ------
    ValueError
        A value out of range, not read whole, or two that conflict, with
        the message of the table of parameters naming the keyword
        (``keyword [recombination] takes a probability from 0 to 0.5, not
        [0.7].``), or a fitness table that is not right; a string holding a
        NUL character (it would be read only up to it), or a word holding a
        lone surrogate.
    FileNotFoundError, IsADirectoryError, PermissionError, OSError
        The fitness table cannot be opened (with the program's message), or
        is not a regular file (a FIFO is never waited on).
    TypeError
        A number keyword given a string (or the other way round), with the
        type wanted.

    Attributes
    ----------
    fitness : numpy.ndarray or None
        The 81 fitness values by genotype index (the table read); None for a
        model whose only tables are its demes' (a run takes its first deme's).
    recombination : float
    weights : str
    mutation : dict
        Every rate by keyword (``mutation["mu_a12"]``), the defaults included.
    keywords : dict
        The keywords given, by name; ``repr(model)`` is the call that makes it again.
    """

    def __init__(self, fitness=None, *, fitness_values=None, column=None, s=None, k=None,
                 mu=None, recombination=None, weights=None, change=None, **rates):
        unknown = sorted(set(rates) - set(MUTATION_KEYWORDS) - set(COEFFICIENT_KEYWORDS))
        if unknown:
            raise TypeError(f"Model() got an unexpected keyword argument '{unknown[0]}'")
        given = {"fitness": fitness, "fitness_values": fitness_values, "column": column,
                 "s": s, "k": k, **{key: rates.get(key) for key in COEFFICIENT_KEYWORDS},
                 "mu": mu, **{key: rates.get(key) for key in MUTATION_KEYWORDS},
                 "recombination": recombination, "weights": weights}
        changes = condition_texts("change", change, "a change's text (TIME:PARAMETER=VALUE)")
        self._core = core.ModelCore(keyword_values(given) + changes)
        self.keywords = {key: _shown(value) for key, value in given.items() if value is not None}
        if changes:
            self.keywords["change"] = [text.decode("utf-8") for _, text in changes]
        description = self._core.description()
        self.fitness = description["fitness"]
        if self.fitness is not None:
            self.fitness.flags.writeable = False
        self.recombination = description["recombination"]
        self.weights = description["weights"]
        self.mutation = {key: description[key] for key in MUTATION_KEYWORDS}

    def __repr__(self):
        given = ", ".join(f"{key}={value!r}" for key, value in self.keywords.items())
        return f"twolocus.Model({given})"

