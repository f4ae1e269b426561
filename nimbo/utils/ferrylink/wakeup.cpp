#include "wakeup.hpp"
#include "args.hpp"
#include "signature.hpp"
#include "module_state.hpp"
#include "lockfree/wake_datagram.hpp"
#include "platform/datagram.hpp"  // inet_pton, htons
#include <limits>

namespace ferry {

static constexpr long SO_RCVBUFFORCE_LINUX = 33;  // not in every socket module, so by number

static Ref attr(PyObject *o, const char *name) { return own(PyObject_GetAttrString(o, name)); }

static void log_line(const char *method, PyObject *text) {
    Ref logger = global("logger");
    own(PyObject_CallMethod(logger.get(), method, "O", text));
}

// While alive, `e` is the exception being handled, as inside an `except`
// block: anything raised meanwhile gets it as its context.
class Handling {
public:
    explicit Handling(PyObject *e) noexcept : outer_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(e);
    }
    ~Handling() { PyErr_SetHandledException(outer_.get()); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    Ref outer_;
};

static bool platform_is_linux() {
    Ref sys = global("sys");
    Ref platform = attr(sys.get(), "platform");
    Ref r = own(PyObject_CallMethod(platform.get(), "startswith", "s", "linux"));
    return truth(r.get());
}

// sock.setsockopt(level, option, value): a new reference, or nullptr with
// the error set.
static PyObject *set_option(PyObject *sock, PyObject *level, PyObject *option, PyObject *value) {
    return PyObject_CallMethod(sock, "setsockopt", "OOO", level, option, value);
}

// The warning for a refused SO_RCVBUFFORCE: the right is missing (EPERM,
// EACCES), or it failed otherwise.
static Ref force_refused_message(PyObject *e) {
    Ref err = attr(e, "errno");
    for (long code : {1L, 13L}) {
        Ref c = own(PyLong_FromLong(code));
        int eq = PyObject_RichCompareBool(err.get(), c.get(), Py_EQ);
        if (eq < 0) throw PyErrOccurred();
        if (eq)
            return own(PyUnicode_FromString(
                "SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF."));
    }
    return own(PyUnicode_FromFormat("WARNING: SO_RCVBUFFORCE failed (%S). Falling back.", e));
}

// SO_RCVBUFFORCE passes the system's limit on Linux; refused with an
// OSError, a warning is logged and SO_RCVBUF set instead.
static void force_receive_buffer(PyObject *sock, PyObject *sol_socket, PyObject *so_rcvbuf, PyObject *size) {
    Ref forced = own(PyLong_FromLong(SO_RCVBUFFORCE_LINUX));
    if (Ref::steal(set_option(sock, sol_socket, forced.get(), size))) return;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw PyErrOccurred();
    // Handled like an `except OSError as e:` block: the exception stays the
    // context of anything raised while handling it.
    Ref e = Ref::steal(PyErr_GetRaisedException());
    Handling handling(e.get());
    log_line("warn", force_refused_message(e.get()).get());
    own(set_option(sock, sol_socket, so_rcvbuf, size));
}

Ref setup_socket(bool blocking, int recvbuf) {
    Ref socket_mod = own(PyImport_ImportModule("socket"));
    Ref sock_type = attr(socket_mod.get(), "socket");
    Ref af_inet = attr(socket_mod.get(), "AF_INET");
    Ref sock_dgram = attr(socket_mod.get(), "SOCK_DGRAM");
    Ref sock = own(PyObject_CallFunctionObjArgs(sock_type.get(), af_inet.get(), sock_dgram.get(), nullptr));
    own(PyObject_CallMethod(sock.get(), "setblocking", "O", blocking ? Py_True : Py_False));
    Ref sol_socket = attr(socket_mod.get(), "SOL_SOCKET");
    Ref so_rcvbuf = attr(socket_mod.get(), "SO_RCVBUF");
    Ref size = own(PyLong_FromLong(recvbuf));
    if (recvbuf > 0 && platform_is_linux())
        force_receive_buffer(sock.get(), sol_socket.get(), so_rcvbuf.get(), size.get());
    else if (recvbuf > 0)
        own(set_option(sock.get(), sol_socket.get(), so_rcvbuf.get(), size.get()));
    Ref actual = own(PyObject_CallMethod(sock.get(), "getsockopt", "OO", sol_socket.get(), so_rcvbuf.get()));
    Ref line = own(PyUnicode_FromFormat("SO_RCVBUF= %S", actual.get()));
    log_line("debug", line.get());
    return sock;
}

namespace {
struct SetupSocketArgs {
    bool blocking = false;
    int32_t recvbuf = 0;
};
constexpr auto setup_socket_signature = signature<SetupSocketArgs>("setup_socket", {
    {"blocking", &SetupSocketArgs::blocking, kRequired},
    {"recvbuf", &SetupSocketArgs::recvbuf, kRequired},
});
}  // namespace

static PyObject *setup_socket_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_MODULE_NAME ".setup_socket", [&] {
        SetupSocketArgs a = setup_socket_signature.parse(args, nargs, kwnames);
        return setup_socket(a.blocking, a.recvbuf).release();
    });
}

const FunctionDef setup_socket_def = {"setup_socket", "setup_socket", "setup_socket(bool blocking, int recvbuf)",
                                      setup_socket_impl, nullptr, false, &setup_socket_signature};

static PLATFORM_SOCKET as_platform_socket(PyObject *o) {
    return (PLATFORM_SOCKET)as_unsigned(o, (unsigned long long)std::numeric_limits<PLATFORM_SOCKET>::max(),
                                        "PLATFORM_SOCKET");
}

void fill_target(WakeupTarget *target, PyObject *sock, PyObject *host) {
    Ref zero = own(PyLong_FromLong(0));
    Ref where = own(PyTuple_Pack(2, host, zero.get()));
    own(PyObject_CallMethod(sock, "bind", "(O)", where.get()));
    Ref name = own(PyObject_CallMethod(sock, "getsockname", nullptr));
    Ref seq = own(PySequence_Tuple(name.get()));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n != 2) {
        if (n > 2)
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        else
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw PyErrOccurred();
    }
    PyObject *ip = PyTuple_GET_ITEM(seq.get(), 0);
    PyObject *port = PyTuple_GET_ITEM(seq.get(), 1);
    target->addr.sin_family = AF_INET;
    target->addr.sin_port = htons(as_uint16(port));
    Ref encoded = own(PyObject_CallMethod(ip, "encode", nullptr));
    const char *text = PyBytes_AsString(encoded.get());
    if (!text) throw PyErrOccurred();
    (void)inet_pton(AF_INET, text, &target->addr.sin_addr);
    lockfree::target_fd(target).store(socket_handle(sock), std::memory_order_release);
}

PLATFORM_SOCKET socket_handle(PyObject *sock) {
    Ref fileno = own(PyObject_CallMethod(sock, "fileno", nullptr));
    Ref closed = own(PyLong_FromLong(-1));
    int eq = PyObject_RichCompareBool(fileno.get(), closed.get(), Py_EQ);
    if (eq < 0) throw PyErrOccurred();
    return eq ? FERRY_NO_SOCKET : as_platform_socket(fileno.get());
}

}  // namespace ferry
