"""Native producer threads to Python: dispatchers, pipes and byte views."""
import os


def get_include() -> str:
    """Directory holding ferrylink.h, the header for native modules (it needs only Python.h)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
