"""Logging front used by nimbo's native modules.

Everything goes to the standard ``logging`` logger named "nimbo": configure
it as any other logger, e.g. ``logging.getLogger("nimbo").setLevel(logging.DEBUG)``.
"""

__all__ = ["DefaultLogger"]

class DefaultLogger:
    """Thin logger with one-string methods, safe to call from native code."""

    def __init__(self) -> None: ...
    def debug(self, msg: str) -> None:
        """Logs ``msg`` at DEBUG level on the "nimbo" logger."""

    def info(self, msg: str) -> None:
        """Logs ``msg`` at INFO level on the "nimbo" logger."""

    def warn(self, msg: str) -> None:
        """Logs ``msg`` at WARNING level on the "nimbo" logger."""

    def error(self, msg: str) -> None:
        """Logs ``msg`` at ERROR level on the "nimbo" logger."""
