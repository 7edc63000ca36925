"""The command-line entry points: twolocus-stats (stats), twolocus-plot
(plot) and twolocus-sweep (sweep), each main(argv) returning the exit
status; what stats and plot share is in common."""
