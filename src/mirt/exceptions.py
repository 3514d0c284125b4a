"""Exceptions and warnings raised by mirt.

Three classes cover every signal the toolbox sends:

* :class:`MirtError` for invalid use (bad arguments, data of the wrong shape);
* :class:`MirtInfo` for "nothing to show" outcomes that are not mistakes;
* :class:`MirtWarning` for suspicious but usable input.

:class:`NotParsedError` says that a model's effects are asked for before
they were computed; it is an ``AttributeError``, as a missing attribute is.
"""

from __future__ import annotations

__all__ = ["MirtError", "MirtInfo", "MirtWarning", "NotParsedError"]


class MirtError(ValueError):
    """Invalid use of a mirt function or class.

    Derives from :class:`ValueError` so that code written to catch
    ``ValueError`` around argument checks keeps working.

    Parameters
    ----------
    message : str
        What was wrong and what was expected.

    Examples
    --------
    >>> from mirt.exceptions import MirtError
    >>> try:
    ...     raise MirtError("bins must be a positive integer, got 0")
    ... except ValueError as err:
    ...     print(err)
    bins must be a positive integer, got 0
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class MirtInfo(Exception):
    """Informational signal that there is nothing to show.

    Raised when a computation succeeded but produced nothing worth
    reporting, for example when a search finds no weak region. It is not a
    ``ValueError`` on purpose: the input was fine.

    Parameters
    ----------
    message : str
        Short description of the empty outcome.

    Examples
    --------
    >>> from mirt.exceptions import MirtInfo
    >>> try:
    ...     raise MirtInfo("No weak regions detected.")
    ... except MirtInfo as info:
    ...     print(info)
    No weak regions detected.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class MirtWarning(UserWarning):
    """Warning about input that is usable but probably not what was meant.

    Parameters
    ----------
    message : str
        Description of the suspicious input.

    Examples
    --------
    >>> import warnings
    >>> from mirt.exceptions import MirtWarning
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     warnings.warn("few samples in slice", MirtWarning)
    >>> caught[0].category is MirtWarning
    True
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class NotParsedError(AttributeError):
    """A model's effects were asked for before ``parse_model()`` computed them.

    Derives from :class:`AttributeError`: the effects are a missing
    attribute, and code that tests for one with ``hasattr`` or catches
    ``AttributeError`` keeps working.

    Parameters
    ----------
    message : str
        What was asked for and what to call first.

    Examples
    --------
    >>> from mirt.exceptions import NotParsedError
    >>> try:
    ...     raise NotParsedError("XGB2Regressor has no effects_ yet: call parse_model() first")
    ... except AttributeError as err:
    ...     print(err)
    XGB2Regressor has no effects_ yet: call parse_model() first
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
