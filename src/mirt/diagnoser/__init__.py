"""Model diagnosis: weak-region search and its reports."""
