"""Import behaviour of the module frame: one module per process, the names it
binds, the exported tables and the checks on the ring queue it imports."""
import ctypes
import importlib
import pickle
import subprocess
import sys
import textwrap

import pytest

import nimbo.utils.ferrylink
from nimbo.utils.ferrylink import ferrylink as fl

MODNAME = "nimbo.utils.ferrylink.ferrylink"
TYPES = ["AsyncDispatcher", "SyncDispatcher", "CyPipe", "CBufferView", "AsyncQueue"]

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]


def run_python(*pieces):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    code = "\n".join(textwrap.dedent(p) for p in pieces)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


class TestNamespace:
    def test_names_are_bound_in_order(self):
        wanted = ["__builtins__", "__pyx_capi__", *TYPES, "DefaultLogger", "asyncio", "sys", "logger",
                  "setup_socket", "__pyx_unpickle_AsyncQueue", "__test__"]
        names = [n for n in vars(fl) if n in wanted]
        assert names == wanted
        assert fl.__test__ == {}
        assert fl.asyncio is sys.modules["asyncio"] and fl.sys is sys

    def test_types_and_docstrings(self):
        for name in TYPES:
            t = getattr(fl, name)
            assert isinstance(t, type)
            assert f"{t.__module__}.{t.__qualname__}" == f"{MODNAME}.{name}"
            assert t.__dictoffset__ == 0 and t.__weakrefoffset__ == 0
        assert fl.CBufferView.__doc__ == "CBufferView(int msg_kind=4) -> None"
        assert fl.AsyncDispatcher.__doc__.startswith("AsyncDispatcher(callback, size_t capacity=16384")

    def test_logger_is_a_default_logger(self):
        from nimbo.tracelog import DefaultLogger
        assert fl.DefaultLogger is DefaultLogger
        assert isinstance(fl.logger, DefaultLogger)

    def test_function_objects(self):
        setup = fl.AsyncDispatcher.setup
        assert setup.__defaults__ == ("127.0.0.1", 16777216)
        assert fl.SyncDispatcher.setup.__defaults__ == ("127.0.0.1", 16777216)
        assert fl.AsyncDispatcher.close.__annotations__ == {"return": "None"}
        assert setup.__name__ == "setup" and setup.__qualname__ == "AsyncDispatcher.setup"
        assert setup.__doc__ == "AsyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216) -> void"
        assert fl.setup_socket.__doc__ == "setup_socket(bool blocking, int recvbuf)"
        assert fl.setup_socket.__module__ == MODNAME
        d = fl.AsyncDispatcher(None)
        bound = d.setup
        assert bound.__self__ is d and bound.__func__ is setup


class TestExportedTables:
    def test_capi_capsules_in_order(self):
        capi = fl.__pyx_capi__
        assert list(capi) == ["obj_to_cbuf", "buf_to_cbuf", "bytes_to_cbuf", "str_to_cbuf"]
        assert capsule_name(capi["obj_to_cbuf"]) == b"int (PyObject *, PyObject **, char const **, size_t *)"
        assert capsule_name(capi["buf_to_cbuf"]) == b"int (PyObject *, Py_buffer *, char const **, size_t *)"
        assert capsule_name(capi["bytes_to_cbuf"]) == b"int (PyObject *, char const **, size_t *)"
        assert capsule_name(capi["str_to_cbuf"]) == capsule_name(capi["bytes_to_cbuf"])

    @pytest.mark.parametrize("name", TYPES)
    def test_each_type_publishes_an_unnamed_vtable(self, name):
        cap = getattr(fl, name).__dict__["__pyx_vtable__"]
        assert type(cap).__name__ == "PyCapsule"
        assert capsule_name(cap) is None

    @pytest.mark.parametrize("name", ["AsyncDispatcher", "SyncDispatcher", "CyPipe", "CBufferView"])
    def test_pickling_is_refused(self, name):
        t = getattr(fl, name)
        obj = t() if name in ("CyPipe", "CBufferView") else t(print)
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(obj)

    @pytest.mark.parametrize("published, error", [
        (2004, "ImportError: the installed ferrylink has API 2.4 but this module was built against ferrylink.h 1.4"),
        (1003, "ImportError: the installed ferrylink has API 1.3, older than the ferrylink.h 1.4"),
        (0, "ImportError: nimbo.utils.ferrylink.ferrylink.AsyncDispatcher states no API version"),
        (1005, None),  # a newer minor only appended: the module still serves the header
    ])
    def test_native_import_checks_the_api_version(self, published, error):
        rc, out, err = run_python(f"""
            import ctypes
            from nimbo.utils.ferrylink import ferrylink as fl
            set_context = ctypes.pythonapi.PyCapsule_SetContext
            set_context.argtypes = [ctypes.py_object, ctypes.c_void_p]
            assert set_context(fl.AsyncDispatcher.__dict__["__pyx_vtable__"], {published}) == 0
            import nimbo.utils.ferrylink._ferrytest
        """)
        if error is None:
            assert rc == 0, err
        else:
            assert rc != 0 and error in err and "rebuild this module against" in err

    def test_get_include_has_the_public_header(self):
        import os
        inc = nimbo.utils.ferrylink.get_include()
        assert os.path.isfile(os.path.join(inc, "ferrylink.h"))


class TestImport:
    def test_second_import_and_reload_change_nothing(self):
        logger, capi = fl.logger, fl.__pyx_capi__
        assert importlib.import_module(MODNAME) is fl
        assert importlib.reload(fl) is fl
        assert fl.logger is logger and fl.__pyx_capi__ is capi

    def test_subinterpreter_is_refused(self):
        interpreters = pytest.importorskip("_interpreters")
        iid = interpreters.create(interpreters.new_config("legacy"))
        try:
            for _ in range(2):  # and keeps being refused
                exc = interpreters.run_string(iid, f"import {MODNAME}")
                assert exc is not None
                assert exc.type.__name__ == "ImportError"
                assert exc.msg == ("Interpreter change detected - this module can only be loaded "
                                   "into one interpreter per process.")
        finally:
            interpreters.destroy(iid)


FAKE_RING = """
    import ctypes, sys, types, warnings
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    def fake_ring(nslots, vtable=True):
        cls = type("SPSCQueue", (), {"__slots__": tuple(f"s{i}" for i in range(nslots))})
        if vtable:
            cls.__pyx_vtable__ = new_capsule(8, None, None)
        mod = types.ModuleType("nimbo.spsc_queue.spsc_queue")
        mod.SPSCQueue = cls
        import nimbo.spsc_queue
        sys.modules["nimbo.spsc_queue.spsc_queue"] = mod
        return cls
"""


class TestRingCheck:
    def test_smaller_ring_fails_and_a_later_import_runs_again(self):
        rc, out, err = run_python(FAKE_RING, """
            assert fake_ring(26).__basicsize__ == 224
            try:
                import nimbo.utils.ferrylink.ferrylink
            except ValueError as e:
                print("ERR", e)
                import traceback
                print("TB", [f.name for f in traceback.extract_tb(e.__traceback__)])
            del sys.modules["nimbo.spsc_queue.spsc_queue"]
            sys.modules.pop("nimbo.utils.ferrylink.ferrylink", None)
            import nimbo.utils.ferrylink.ferrylink as fl
            print("OK", fl.AsyncDispatcher(print) is not None)
        """)
        assert rc == 0, err
        assert ("ERR nimbo.spsc_queue.spsc_queue.SPSCQueue size changed, may indicate binary incompatibility. "
                "Expected 232 from C header, got 224 from PyObject") in out
        assert "init nimbo.utils.ferrylink.ferrylink" in out
        assert "OK True" in out

    def test_larger_ring_warns_and_imports(self):
        rc, out, err = run_python(FAKE_RING, """
            assert fake_ring(28).__basicsize__ == 240
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                import nimbo.utils.ferrylink.ferrylink
            print("WARN", [(x.category.__name__, str(x.message)) for x in w])
        """)
        assert rc == 0, err
        assert ("('RuntimeWarning', 'nimbo.spsc_queue.spsc_queue.SPSCQueue size changed, may indicate binary "
                "incompatibility. Expected 232 from C header, got 240 from PyObject')") in out

    @pytest.mark.parametrize("setup, error", [
        ("fake_ring(27, vtable=False)", "KeyError: '__pyx_vtable__'"),
        ("sys.modules['nimbo.spsc_queue.spsc_queue'].SPSCQueue = 5 if fake_ring(27) else 0",
         "TypeError: nimbo.spsc_queue.spsc_queue.SPSCQueue is not a type object"),
    ])
    def test_unusable_ring_type_fails_the_import(self, setup, error):
        rc, out, err = run_python(FAKE_RING, f"""
            {setup}
            import nimbo.utils.ferrylink.ferrylink
        """)
        assert rc != 0 and error in err


class TestLoggerImport:
    def test_missing_default_logger_fails_then_recovers(self):
        rc, out, err = run_python("""
            import sys, types
            sys.modules["nimbo.tracelog"] = types.ModuleType("nimbo.tracelog")
            try:
                import nimbo.utils.ferrylink.ferrylink
            except ImportError as e:
                print("ERR", e)
            del sys.modules["nimbo.tracelog"]
            sys.modules.pop("nimbo.utils.ferrylink.ferrylink", None)
            import nimbo.utils.ferrylink.ferrylink as fl
            print("OK", type(fl.logger).__name__)
        """)
        assert rc == 0, err
        assert "ERR cannot import name DefaultLogger" in out
        assert "OK DefaultLogger" in out

    def test_logger_that_fails_to_build_fails_the_import(self):
        rc, out, err = run_python("""
            import nimbo.tracelog
            def broken():
                raise OSError("no logger today")
            nimbo.tracelog.DefaultLogger = broken
            import nimbo.utils.ferrylink.ferrylink
        """)
        assert rc != 0 and "OSError: no logger today" in err
        assert "init nimbo.utils.ferrylink.ferrylink" in err
