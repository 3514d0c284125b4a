"""Depth-2 gradient-boosted trees with an exact functional-ANOVA reading."""
