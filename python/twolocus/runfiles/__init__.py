"""Reading the files runs write: trajectories (trajectory), both kinds of
parameter file (params), a run's files as a Run (runs) and twolocus-sim's
summary tables (summary)."""
