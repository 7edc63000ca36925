"""The engines of twolocus-sim in Python: Model, simulate and replicate.

The keywords are the Python keywords of the table of parameters
(``mu_a12`` is ``--mu-a12``, ``N`` is ``-N``). Each value is read by the
module by its parameter's entry, with its range and default, as
twolocus-sim reads the option, and a bad one raises ValueError naming the
keyword; the generations are run by the program's engines in this process,
so the same seed gives the same numbers as ``twolocus-sim``. Calls release
the GIL, and Ctrl-C stops them within one generation (KeyboardInterrupt)
with nothing written.
"""
