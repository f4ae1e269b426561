"""Logging front used by nimbo's native modules.

Everything goes to the standard ``logging`` logger named "nimbo", so users
configure it the way they already configure logging.
"""
import logging

__all__ = ["DefaultLogger"]


class DefaultLogger:
    """Thin logger with one-string methods, safe to call from native code."""

    __slots__ = ("_log",)

    def __init__(self) -> None:
        self._log = logging.getLogger("nimbo")

    def debug(self, msg: str) -> None:
        self._log.debug(msg)

    def info(self, msg: str) -> None:
        self._log.info(msg)

    def warn(self, msg: str) -> None:
        self._log.warning(msg)

    def error(self, msg: str) -> None:
        self._log.error(msg)
