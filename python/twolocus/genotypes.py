"""Genotype labels and the alleles of each genotype index.

index = (a1 - 1) + 3 (a2 - 1) + 9 (b1 - 1) + 27 (b2 - 1), where a1 and b1
(slots 1 and 3) come from one parent and a2 and b2 (slots 2 and 4) from the
other.
"""

GENOTYPE_COUNT = 81


def alleles(index):
    """Takes a genotype index 0..80; returns its alleles (a1, a2, b1, b2), each 1..3."""
    return (index % 3 + 1, index // 3 % 3 + 1, index // 9 % 3 + 1, index // 27 + 1)


def label(index):
    """Takes a genotype index; returns its four-digit label, for example "2111" for 1."""
    return "".join(str(allele) for allele in alleles(index))


LABELS = [label(index) for index in range(GENOTYPE_COUNT)]
