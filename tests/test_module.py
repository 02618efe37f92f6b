"""Loading the module: guards, published tables, the sibling import, pickling refusal."""
import copy
import ctypes
import io
import pathlib
import pickle
import sys

import pytest

from conftest import capsule_name, run_isolated
from vandor import segy

CLASSES = ["SEGYTrace", "SEGY", "BaseTraceIterator", "_MemoryTraceIterator", "_FileTraceIterator"]
DUP = "__pyx_ctuple_FILE__ptr__and_6vandor_3_io_vdr_off_t (PyObject *, char *)"
DUP_CLOSE = "int (PyObject *, FILE *, vdr_off_t)"

# A stand-in sibling built from capsules; {dup} and {dup_close} name the capsules, None leaves
# the entry out.
FAKE_SIBLING = """
import ctypes, sys, types
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
names = {{"PyFile_Dup": {dup!r}, "PyFile_DupClose": {dup_close!r}}}
keep = {{k: v.encode() for k, v in names.items() if v is not None}}
m = types.ModuleType("vandor._io")
m.__pyx_capi__ = {{k: new(1, v, None) for k, v in keep.items()}}
m.keep = keep
sys.modules["vandor._io"] = m
"""


def sibling(dup=DUP, dup_close=DUP_CLOSE):
    return FAKE_SIBLING.format(dup=dup, dup_close=dup_close)


def import_failure(prelude):
    """Imports vandor.segy after `prelude`; prints the error and whether numpy got imported."""
    proc = run_isolated(prelude + """
try:
    import vandor.segy
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
print("numpy" in sys.modules)
""")
    return proc.stdout.splitlines()


def test_import_twice_and_after_removal_gives_the_same_module():
    out = run_isolated("""
        import sys, importlib
        import vandor.segy as a
        a.marker = 1
        import vandor.segy as b
        del sys.modules["vandor.segy"]
        import vandor.segy as c
        importlib.reload(c)
        print(a is b is c, c.marker, c.SEGYTrace is a.SEGYTrace)
    """).stdout.split()
    assert out == ["True", "1", "True"]


def test_sub_interpreter_import_is_refused():
    out = run_isolated("""
        import _xxsubinterpreters as interps
        import vandor.segy
        i = interps.create()
        try:
            interps.run_string(i, "import vandor.segy")
        except Exception as e:
            print(e)
    """).stdout
    assert ("Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.") in out


def test_execute_on_another_module_object_is_refused():
    # the interpreter never runs the execute slot twice on its own, so call it as it would
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.c_void_p
    get_def.argtypes = [ctypes.py_object]
    slots = ctypes.cast(get_def(segy), ctypes.POINTER(ctypes.c_void_p))[9]  # m_slots

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]
    table = ctypes.cast(slots, ctypes.POINTER(Slot))
    execute = next(table[i].value for i in range(4) if table[i].slot == 2)  # Py_mod_exec
    execute = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(execute)
    with pytest.raises(RuntimeError) as info:
        execute(type(sys)("vandor.segy"))
    assert str(info.value) == ("Module 'segy' has already been imported. Re-initialisation is "
                               "not supported.")
    assert execute(segy) == 0  # the held module: nothing runs twice


@pytest.mark.parametrize("prelude, expected", [
    ("import sys; sys.modules['vandor._io'] = None\n",
     "ModuleNotFoundError: import of vandor._io halted; None in sys.modules"),
    (sibling(dup_close=None),
     "ImportError: vandor._io does not export expected C function PyFile_DupClose"),
    (sibling(dup=None), "ImportError: vandor._io does not export expected C function PyFile_Dup"),
    (sibling(dup_close="int (PyObject *, FILE *, long)"),
     "TypeError: C function vandor._io.PyFile_DupClose has wrong signature (expected "
     "int (PyObject *, FILE *, vdr_off_t), got int (PyObject *, FILE *, long))"),
])
def test_bad_sibling_fails_the_import_before_numpy(prelude, expected):
    assert import_failure(prelude) == [expected, "False"]


@pytest.mark.parametrize("prelude, expected", [
    (sibling() + "m.__pyx_capi__['PyFile_Dup'] = ctypes.pythonapi.PyCapsule_New(1, None, None)\n",
     f"TypeError: C function vandor._io.PyFile_Dup has wrong signature (expected {DUP}, got NULL)"),
    (sibling() + "m.__pyx_capi__['PyFile_Dup'] = 42\n",
     f"TypeError: C function vandor._io.PyFile_Dup has wrong signature (expected {DUP}, got NULL)"),
    ("import sys, types\nsys.modules['vandor._io'] = types.SimpleNamespace(__pyx_capi__={})\n",
     "ImportError: vandor._io does not export expected C function PyFile_Dup"),
])
def test_malformed_sibling_is_an_error_not_a_crash(prelude, expected):
    assert import_failure(prelude) == [expected, "False"]


def test_missing_nullcontext_gives_the_interpreters_import_error():
    out = import_failure("import sys, contextlib\ndel contextlib.nullcontext\n")
    assert out[0].startswith("ImportError: cannot import name 'nullcontext' from 'contextlib' (")


def test_missing_sibling_module_and_recovery_on_next_import():
    out = run_isolated("""
        import sys, importlib.abc
        class Hide(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == "vandor._io":
                    raise ModuleNotFoundError("No module named 'vandor._io'", name=name)
        sys.meta_path.insert(0, Hide())
        try:
            import vandor.segy
        except ModuleNotFoundError as e:
            print(e.name, "numpy" in sys.modules, "vandor.segy" in sys.modules)
        sys.meta_path.pop(0)
        import vandor.segy
        print(vandor.segy.SEGYTrace([1.0], 1).ns)
    """).stdout.split()
    assert out == ["vandor._io", "False", "False", "1"]


def test_package_import_alone_loads_neither_numpy_nor_the_extensions():
    out = run_isolated("""
        import sys, vandor
        print(sorted(m for m in ("numpy", "vandor.segy", "vandor._io") if m in sys.modules))
    """).stdout.strip()
    assert out == "[]"


def test_published_function_table():
    capi = segy.__pyx_capi__
    assert list(capi) == ["new_trace", "copy_of", "del_trace"]
    assert [capsule_name(c) for c in capi.values()] == [
        b"segy *(int)",
        b"segy *(segy *, struct __pyx_opt_args_6vandor_4segy_copy_of *__pyx_optional_args)",
        b"void (segy *, int)"]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_bound_with_their_tables(name):
    cls = getattr(segy, name)
    assert cls.__module__ == "vandor.segy" and cls.__name__ == name
    assert capsule_name(cls.__dict__["__pyx_vtable__"]) is None
    assert "__reduce__" in cls.__dict__ and "__setstate__" in cls.__dict__


def test_module_namespace():
    import contextlib
    import os

    import numpy
    assert (segy.io, segy.os, segy.nullcontext, segy.np) == (io, os, contextlib.nullcontext, numpy)
    assert segy._isfileobject.__doc__ == "_isfileobject(f)"


def instances():
    yield segy.SEGYTrace([1.0], 1)
    yield segy.SEGY.__new__(segy.SEGY)
    yield segy.BaseTraceIterator()
    yield segy._MemoryTraceIterator.__new__(segy._MemoryTraceIterator)
    yield segy._FileTraceIterator.__new__(segy._FileTraceIterator)
    for base in CLASSES[1:]:
        sub = type("Sub" + base, (getattr(segy, base),), {})
        yield sub.__new__(sub)


NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"
REFUSALS = [
    lambda x: pickle.dumps(x),
    lambda x: pickle.dumps(x, protocol=0),
    lambda x: pickle.dumps(x, protocol=pickle.HIGHEST_PROTOCOL),
    copy.copy,
    copy.deepcopy,
    lambda x: x.__setstate__(None),
]


@pytest.mark.parametrize("refuse", REFUSALS)
def test_pickling_and_copying_are_refused(refuse):
    for obj in instances():
        with pytest.raises(TypeError) as info:
            refuse(obj)
        assert str(info.value) == NO_REDUCE, type(obj)


def test_setstate_needs_its_argument():
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        segy.BaseTraceIterator().__setstate__()


def test_unknown_attributes_cannot_be_set():
    for obj in instances():
        if type(obj).__module__ != "vandor.segy":
            continue  # script subclasses get a __dict__ of their own
        with pytest.raises(AttributeError):
            obj.anything = 1


# --- _isfileobject ---

class RaisingFileIO(io.FileIO):
    def fileno(self):
        raise OSError("no descriptor")


class AnyFileIO(io.FileIO):
    def fileno(self):
        return "anything"


@pytest.mark.parametrize("make, expected", [
    (lambda p: open(p, "rb"), True),
    (lambda p: open(p, "wb"), True),
    (lambda p: open(p, "rb", buffering=0), True),
    (lambda p: open(p, "r+b"), False),
    (lambda p: open(p, "r"), False),
    (lambda p: io.BytesIO(b"x"), False),
    (lambda p: io.BufferedReader(io.BytesIO(b"x")), False),
    (lambda p: RaisingFileIO(p, "rb"), False),
    (lambda p: AnyFileIO(p, "rb"), True),
    (lambda p: None, False),
    (lambda p: str(p), False),
    (lambda p: pathlib.Path(p), False),
])
def test_isfileobject(tmp_path, make, expected):
    path = tmp_path / "f"
    path.write_bytes(b"abc")
    obj = make(path)
    try:
        assert segy._isfileobject(obj) is expected
        assert segy._isfileobject(f=obj) is expected
    finally:
        if hasattr(obj, "close"):
            obj.close()


def test_isfileobject_lets_a_closed_file_raise(tmp_path):
    f = open(tmp_path / "f", "wb")
    f.close()
    with pytest.raises(ValueError):
        segy._isfileobject(f)


def test_isfileobject_follows_the_namespace_io(monkeypatch):
    class FakeIO:
        FileIO = BufferedReader = BufferedWriter = io.BytesIO
    monkeypatch.setattr(segy, "io", FakeIO)
    assert segy._isfileobject(io.BytesIO()) is False  # fileno raises UnsupportedOperation
    monkeypatch.delattr(segy, "io")
    with pytest.raises(NameError, match="^name 'io' is not defined$"):
        segy._isfileobject(None)
