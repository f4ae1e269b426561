"""setup_socket: the receive-buffer sizing on each platform branch, its log
lines and its argument checks."""
import errno
import socket
import types

import pytest

from nimbo.utils.ferrylink import ferrylink as fl

FORCE = 33  # SO_RCVBUFFORCE on Linux


class Recorder:
    def __init__(self):
        self.lines = []

    def warn(self, text):
        self.lines.append(("warn", text))

    def debug(self, text):
        self.lines.append(("debug", text))


@pytest.fixture
def env(monkeypatch):
    """Patches the module's sys and logger, and socket.socket's setsockopt."""
    log = Recorder()
    calls = []
    outcome = {"force": None}  # None: success; an errno: OSError

    class Sock(socket.socket):
        def setsockopt(self, level, opt, value):
            calls.append((level, opt, value))
            if opt == FORCE and outcome["force"] is not None:
                raise OSError(outcome["force"], "refused for the test")
            if opt != FORCE:
                return super().setsockopt(level, opt, value)

    monkeypatch.setattr(fl, "logger", log)
    monkeypatch.setattr(fl, "sys", types.SimpleNamespace(platform="linux"))
    monkeypatch.setattr(socket, "socket", Sock)
    made = []
    yield types.SimpleNamespace(log=log, calls=calls, outcome=outcome, made=made, monkeypatch=monkeypatch)
    for s in made:
        s.close()


def make(env, blocking, recvbuf):
    s = fl.setup_socket(blocking, recvbuf)
    env.made.append(s)
    return s


def debug_line(sock):
    return ("debug", "SO_RCVBUF= %d" % sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF))


class TestLinux:
    def test_forced_size_succeeds(self, env):
        s = make(env, False, 65536)
        assert env.calls == [(socket.SOL_SOCKET, FORCE, 65536)]
        assert env.log.lines == [debug_line(s)]
        assert s.family == socket.AF_INET and s.type == socket.SOCK_DGRAM and not s.getblocking()

    @pytest.mark.parametrize("code", [errno.EPERM, errno.EACCES])
    def test_without_the_right_falls_back(self, env, code):
        env.outcome["force"] = code
        s = make(env, True, 65536)
        assert env.calls == [(socket.SOL_SOCKET, FORCE, 65536), (socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)]
        assert env.log.lines == [
            ("warn", "SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF."),
            debug_line(s)]
        assert s.getblocking()

    def test_other_error_is_reported_then_falls_back(self, env):
        env.outcome["force"] = errno.EINVAL
        s = make(env, False, 4096)
        assert env.log.lines[0] == (
            "warn", "WARNING: SO_RCVBUFFORCE failed ([Errno 22] refused for the test). Falling back.")
        assert env.calls[-1] == (socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        assert env.log.lines[1] == debug_line(s)


class TestOtherPlatforms:
    def test_one_plain_set(self, env):
        env.monkeypatch.setattr(fl, "sys", types.SimpleNamespace(platform="win32"))
        s = make(env, False, 8192)
        assert env.calls == [(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)]
        assert env.log.lines == [debug_line(s)]


class TestArguments:
    @pytest.mark.parametrize("recvbuf", [0, -5])
    def test_no_positive_size_sets_nothing_but_still_logs(self, env, recvbuf):
        s = make(env, False, recvbuf)
        assert env.calls == []
        assert env.log.lines == [debug_line(s)]

    def test_size_out_of_range_makes_no_socket(self, env, monkeypatch):
        def no_socket(*a):
            raise AssertionError("a socket was made")
        monkeypatch.setattr(socket, "socket", no_socket)
        with pytest.raises(OverflowError):
            fl.setup_socket(False, 2**31)
        with pytest.raises(TypeError):
            fl.setup_socket(False, "big")

    @pytest.mark.parametrize("args, given", [((True,), 1), ((True, 1, 2), 3), ((), 0)])
    def test_argument_count(self, args, given):
        with pytest.raises(TypeError) as e:
            fl.setup_socket(*args)
        assert str(e.value) == f"setup_socket() takes exactly 2 positional arguments ({given} given)"

    def test_keywords(self, env):
        s = make(env, blocking=1, recvbuf=0)
        assert s.getblocking()
        with pytest.raises(TypeError, match="unexpected keyword argument 'size'"):
            fl.setup_socket(True, size=1)

    def test_fallback_failure_keeps_the_first_error_as_context(self, env, monkeypatch):
        env.outcome["force"] = errno.EPERM

        original = socket.socket.setsockopt

        def failing(self, level, opt, value):
            if opt == socket.SO_RCVBUF:
                raise ValueError("fallback failed")
            return original(self, level, opt, value)

        monkeypatch.setattr(socket.socket, "setsockopt", failing)
        with pytest.raises(ValueError) as e:
            fl.setup_socket(False, 1024)
        assert isinstance(e.value.__context__, OSError)
