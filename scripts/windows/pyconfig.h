/* What CPython 3.13's headers need to know of a 64-bit, MSVC-built
 * interpreter (python313.dll) when a MinGW-w64 compiler reads them. Only
 * scripts/windows_check.sh uses it, beside the build machine's own 3.13
 * headers: they are the same on every platform but for this file. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WINDOWS            /* the headers' Windows branches: no <unistd.h>, the Windows error calls */
#define MS_WIN64              /* a 64-bit interpreter: the 32-bit-only branches stay off */
#define Py_ENABLE_SHARED 1    /* the API lives in python313.dll, so it is imported */
#define HAVE_DECLSPEC_DLL     /* imports and PyInit_* exports are spelled __declspec(dllimport/dllexport) */
#define NT_THREADS            /* thread-local keys are Windows TLS indices (cpython/pythread.h) */

#define SIZEOF_INT 4          /* LLP64, as MSVC lays it out */
#define SIZEOF_LONG 4         /* LLP64: long stays 32 bits on 64-bit Windows */
#define SIZEOF_LONG_LONG 8    /* the 64-bit integer that pointers convert through */
#define SIZEOF_VOID_P 8       /* 64-bit pointers */
#define SIZEOF_SIZE_T 8       /* 64-bit sizes */
#define SIZEOF_WCHAR_T 2      /* wchar_t is a UTF-16 unit */

typedef long long Py_ssize_t; /* Windows has no ssize_t; the interpreter's is a 64-bit __int64 */
#define PY_SSIZE_T_MAX LLONG_MAX /* its largest value */
#define HAVE_PY_SSIZE_T 1     /* tells pyport.h that Py_ssize_t is defined above */

#define WITH_DOC_STRINGS 1    /* the release interpreter keeps docstrings (PyDoc_STR) */

#endif
