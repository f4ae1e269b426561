/* What CPython 3.13's headers need to know of a 64-bit, MSVC-built
 * interpreter (python313.dll) when a MinGW-w64 compiler reads them. Only
 * scripts/windows_check.sh uses it, beside the build machine's own 3.13
 * headers: they are the same on every platform but for this file. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

/* The Windows branches of the headers: no <unistd.h>, the Windows error calls. */
#define MS_WINDOWS
/* A 64-bit interpreter: the 32-bit-only branches stay off. */
#define MS_WIN64
/* The API lives in python313.dll: functions and data are dllimport. */
#define Py_ENABLE_SHARED 1
/* Windows spells import and export with __declspec, and PyInit_* is dllexport. */
#define HAVE_DECLSPEC_DLL
/* Thread-local keys are Windows TLS indices (cpython/pythread.h). */
#define NT_THREADS

/* LLP64: long stays 32 bits while pointers and size_t have 64. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
/* wchar_t is a UTF-16 unit. */
#define SIZEOF_WCHAR_T 2

/* Windows has no ssize_t; the interpreter's Py_ssize_t is a 64-bit __int64. */
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1

/* The release interpreter keeps docstrings (PyDoc_STR). */
#define WITH_DOC_STRINGS 1

#endif
