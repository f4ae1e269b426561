"""Builds the example producer the way a user's project would:

    pip install --no-build-isolation .      (or: python setup.py build_ext --inplace)

with nimbo-ferrylink installed in the same environment. The C++ module needs
C++17; the C module is the same header compiled as C11. The warning flags are
those of gcc and clang.
"""
import sys

from setuptools import Extension, setup

from nimbo.utils.ferrylink import get_include

strict = [] if sys.platform == "win32" else ["-Wall", "-Wextra", "-pedantic", "-Werror"]

setup(
    name="ferry-producer-example",
    version="0.1.0",
    ext_modules=[
        # [extensions]
        Extension(
            "ferry_producer",
            ["ferry_producer.cpp"],
            include_dirs=[get_include()],
            language="c++",
            extra_compile_args=["/std:c++17"] if sys.platform == "win32" else ["-std=c++17", *strict],
        ),
        Extension(
            "ferry_producer_c",
            ["ferry_producer_c.c"],
            include_dirs=[get_include()],
            extra_compile_args=[] if sys.platform == "win32" else ["-std=c11", *strict],
        ),
        # [end]
    ],
)
