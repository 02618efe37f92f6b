# Builds the example against the installed vandor: python setup.py build_ext --inplace
import vandor
from setuptools import Extension, setup

setup(
    name="vandor-c-api-example",
    ext_modules=[Extension("tracecopy", ["tracecopy.c"], include_dirs=[vandor.get_include()],
                           extra_compile_args=["-std=c99", "-Wall", "-Wextra"])],
)
