"""python -m twolocus.sweep: twolocus-sweep, as the launchers run it for each unit
of a sweep (GNU parallel's jobs and the Slurm array's tasks call
`python -m twolocus.sweep exec|task ...`)."""

import sys

from .commands.sweep import main

if __name__ == "__main__":
    sys.exit(main())
