"""A repeated constructor call on a queue-owning object that native code or
another thread is using: the earlier ring is closed and kept, never freed
under its users. Crash-prone, so each case runs in a new interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

MAKE = {
    "AsyncDispatcher": "fl.AsyncDispatcher(print, capacity=64, slot_size=64, overwrite=True)",
    "SyncDispatcher": "fl.SyncDispatcher(print, capacity=64, slot_size=64, overwrite=True)",
    "CyPipe": "fl.CyPipe(capacity=64, slot_size=64, overwrite=True)",
}


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)


@pytest.mark.parametrize("kind", sorted(MAKE))
def test_init_again_while_a_native_producer_pushes(kind):
    # With overwrite every push writes into the ring, so a freed ring is written to.
    p = run_python(f"""
        from nimbo.utils.ferrylink import _ferrytest as ft, ferrylink as fl
        for _ in range(3):
            obj = {MAKE[kind]}
            producer = ft.start_producer(obj, "push_fn", 10_000_000, [64])
            for i in range(2000):  # rings of two sizes, so a new one rarely takes the old one's place
                obj.__init__(*([print] if "{kind}" != "CyPipe" else []), capacity=64 << i % 2 * 6, slot_size=64,
                             overwrite=True)
            accepted, refused = producer.join()
            assert set(refused) <= {{-2}}, set(refused)  # only CLOSED, from a ring being retired
        print("ok")
    """)
    assert (p.returncode, p.stdout.strip()) == (0, "ok"), p.stderr[-2000:]


@pytest.mark.parametrize("kind", ["AsyncDispatcher", "SyncDispatcher"])
def test_close_racing_init_on_another_thread(kind):
    p = run_python(f"""
        import sys, threading
        from nimbo.utils.ferrylink import ferrylink as fl
        sys.setswitchinterval(1e-6)
        obj = {MAKE[kind]}
        stop = threading.Event()
        def closer():
            while not stop.is_set():
                obj.close()
        t = threading.Thread(target=closer)
        t.start()
        for _ in range(3000):
            obj.__init__(print, capacity=64, slot_size=64)
        stop.set()
        t.join()
        print("ok")
    """)
    assert (p.returncode, p.stdout.strip()) == (0, "ok"), p.stderr[-2000:]
