"""Interpretable models and the interpreters that read them."""
