"""Sweeps: many runs of a simulator from a design file.

design (the design file, read whole), kinds (a classic sweep and a sweep
of twolocus-sim as data), seeds, plan (the design's rows as the manifest's
units), folder (the sweep folder), runner (one unit run in its folder),
launchers (GNU parallel and Slurm), status and summary (the folder read
back), picture (a classic sweep's picture). `python -m twolocus.sweep`
(twolocus/sweep.py) is twolocus-sweep, as the launchers run it.
"""
