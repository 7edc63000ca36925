"""Reading, summarising and plotting the files that twolocus writes."""
