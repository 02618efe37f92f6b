"""The interpreter's own argument-binding messages, as every callable of the module gives them."""
import pytest

from vandor import segy

BAD_CALLS = [  # (call, exception, exact message)
    (lambda: segy._isfileobject(), TypeError,
     "_isfileobject() takes exactly 1 positional argument (0 given)"),
    (lambda: segy._isfileobject(1, 2), TypeError,
     "_isfileobject() takes exactly 1 positional argument (2 given)"),
    (lambda: segy._isfileobject(g=1), TypeError,
     "_isfileobject() takes exactly 1 positional argument (0 given)"),
    (lambda: segy._isfileobject(1, g=1), TypeError,
     "_isfileobject() got an unexpected keyword argument 'g'"),
    (lambda: segy._isfileobject(1, f=1), TypeError,
     "_isfileobject() got multiple values for keyword argument 'f'"),
    (lambda: segy._isfileobject(**{"f": 1, 2: 3}), TypeError, None),
    (lambda: segy.BaseTraceIterator().__reduce__(1), TypeError,
     "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda: segy.BaseTraceIterator().__reduce__(x=1), TypeError,
     "__reduce__() got an unexpected keyword argument 'x'"),
    (lambda: segy.BaseTraceIterator().__setstate__(1, 2), TypeError,
     "__setstate__() takes exactly 1 positional argument (2 given)"),
]


@pytest.mark.parametrize("call, exc, message", BAD_CALLS)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_non_string_keywords_through_the_c_api():
    import ctypes
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        call(segy._isfileobject, (1,), {2: 3})
    assert str(info.value) == "_isfileobject() keywords must be strings"


INT_CASES = [  # (value, exception or expected ntr)
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (True, 1), (7.9, 7),
    (2**31, "value too large to convert to int"),
    (-2**31 - 1, "value too large to convert to int"),
    (2**64, "value too large to convert to int"),
    (-2**70, "value too large to convert to int"),
    ("1", "an integer is required"),
]


@pytest.mark.parametrize("value, expected", INT_CASES)
def test_int_conversion(value, expected):
    if isinstance(expected, str):
        with pytest.raises((OverflowError, TypeError)) as info:
            segy.SEGYTrace([1.0], 1, ntr=value)
        assert str(info.value) == expected
    else:
        assert segy.SEGYTrace([1.0], 1, ntr=value).ntr == expected


@pytest.mark.parametrize("kwargs, message", [
    (dict(dt=2**64), "value too large to convert to unsigned short"),
    (dict(dt=-2**64), "can't convert negative value to unsigned short"),
    (dict(dt=1, sfe=2**70), "value too large to convert to short"),
])
def test_values_beyond_any_c_type_get_the_fixed_width_message(kwargs, message):
    with pytest.raises(OverflowError) as info:
        segy.SEGYTrace([1.0], **kwargs)
    assert str(info.value) == message


def test_index_only_objects_are_integers():
    class Idx:
        def __index__(self):
            return 12
    assert segy.SEGYTrace([1.0], Idx(), ntr=Idx()).ntr == 12


def test_int_returning_a_non_int_is_refused():
    class Bad:
        def __int__(self):
            return "x"
    with pytest.raises(TypeError) as info:
        segy.SEGYTrace([1.0], 1, ntr=Bad())
    assert str(info.value) == "__int__ returned non-int (type str)"  # a note may follow it
