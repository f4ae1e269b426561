"""Lock-free single-producer/single-consumer ring queue of byte messages."""
import os


def get_include() -> str:
    """Directory holding spsc_queue.h, for native modules that call the queue."""
    return os.path.dirname(os.path.abspath(__file__))
