"""Statistics, conditions and survival: the statistics of populations
(statistics), conditions on them (conditions), crossing times with their
uncertainty (survival) and their tables per parameter set (studies)."""
