"""Builds the module quenlo from src/python against the libquenlo that
pkg-config finds (the libquenlo-dev package)."""
import shlex
import subprocess

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup


def pkg_config(*args):
    return shlex.split(subprocess.run(["pkg-config", *args, "quenlo"], check=True, capture_output=True,
                                      text=True).stdout)


setup(ext_modules=[Pybind11Extension("quenlo", ["src/python/QuenloModule.cpp"], cxx_std=17,
                                     extra_compile_args=pkg_config("--cflags"),
                                     extra_link_args=pkg_config("--libs"))],
      py_modules=[])
