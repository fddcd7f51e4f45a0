"""Argument binding, integer conversion and type tests of tavrill._store."""

import re
import warnings

import numpy as np
import pytest

from tavrill._store import Executor, Store


def message(text):
    return "^" + re.escape(text) + "$"


class Integral:
    """An object whose only integer conversion is __int__."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class StrictIntSubclass(int):
    pass


EMPTY = np.empty(0, np.uint8)


@pytest.mark.parametrize("call, text", [
    (lambda: Executor(), "__cinit__() takes exactly 1 positional argument (0 given)"),
    (lambda: Executor(1, 2), "__cinit__() takes exactly 1 positional argument (2 given)"),
    (lambda: Executor(4, lanes=4), "__cinit__() got multiple values for keyword argument 'lanes'"),
    (lambda: Executor(lane=4), "__cinit__() takes exactly 1 positional argument (0 given)"),
    (lambda: Executor(4, other=1), "__cinit__() got an unexpected keyword argument 'other'"),
    (lambda: Store().close(), "close() takes exactly 1 positional argument (0 given)"),
    (lambda: Store().length(1), "length() takes exactly 0 positional arguments (1 given)"),
    (lambda: Store().codec(x=1), "codec() got an unexpected keyword argument 'x'"),
    (lambda: Store.open(None), "open() takes exactly 2 positional arguments (1 given)"),
    # A required argument that keywords leave unset reports its own position as the count.
    (lambda: Store.create(None, path=b"p", codec=0, data_shards=1, schema=EMPTY),
     "create() takes exactly 6 positional arguments (4 given)"),
    (lambda: Store().dense_append(1, 2, 3, 4),
     "dense_append() takes exactly 3 positional arguments (4 given)"),
    (lambda: Executor(1).__setstate__(), "__setstate__() takes exactly 1 positional argument "
                                         "(0 given)"),
])
def test_binding_messages(call, text):
    with pytest.raises(TypeError, match=message(text)):
        call()


def test_keywords_bind_like_positions(executor, store_path):
    Executor(lanes=3).close()
    store = Store.create(schema=np.frombuffer(b"s", np.uint8), dict_data=EMPTY, data_shards=2,
                         codec=0, path=store_path, executor=executor)
    assert store.data_shards() == 2
    assert store.close(sync=True) is None


@pytest.mark.parametrize("value, error, text", [
    (-1, OverflowError, "can't convert negative value to uint32_t"),
    (-(2**70), OverflowError, "can't convert negative value to uint32_t"),
    ("4", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (Integral("4"), TypeError, "__int__ returned non-int (type str)"),
    (Integral(-2), OverflowError, "can't convert negative value to uint32_t"),
])
def test_uint32_conversion_failures(value, error, text):
    with pytest.raises(error, match=message(text)):
        Executor(value)


@pytest.mark.parametrize("value", [2**32, 2**64, 2**100])
def test_uint32_above_range_raises_the_interpreters_overflow(value):
    with pytest.raises(OverflowError):
        Executor(value)


@pytest.mark.parametrize("value", [0, 1, True, 2.7, Integral(3), np.uint64(2), 2**32 - 1])
def test_uint32_conversion_accepts(value):
    Executor(value).close()


def test_int_subclass_from_int_warns_and_goes_on():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Executor(Integral(StrictIntSubclass(2))).close()
    assert [str(w.message) for w in caught] == [
        "__int__ returned non-int (type StrictIntSubclass).  The ability to return an instance "
        "of a strict subclass of int is deprecated, and may be removed in a future version of "
        "Python."]
    assert caught[0].category is DeprecationWarning


def test_uint8_conversion_comes_before_type_tests():
    with pytest.raises(OverflowError, match=message("value too large to convert to uint8_t")):
        Store.create(None, None, 256, 1, None, None)
    with pytest.raises(OverflowError, match=message("can't convert negative value to uint8_t")):
        Store.create(None, None, 0, -1, None, None)
    with pytest.raises(TypeError, match=message("an integer is required")):
        Store.create(None, None, "0", 1, None, None)


def test_uint64_conversion_names_size_t():
    store = Store()
    with pytest.raises(OverflowError, match=message("can't convert negative value to size_t")):
        store.dense_append(1, -1, 1)
    with pytest.raises(OverflowError):
        store.dense_append(2**64, 1, 1)
    with pytest.raises(OverflowError, match="negative value to size_t"):
        store.dense_gather(np.empty(0, np.uint64), np.empty(0, np.uint8), -8)


@pytest.mark.parametrize("call, text", [
    (lambda ex: Store.open(None, b"p"),
     "Argument 'executor' has incorrect type (expected tavrill._store.Executor, got NoneType)"),
    (lambda ex: Store.open(ex, "p"),
     "Argument 'path' has incorrect type (expected bytes, got str)"),
    (lambda ex: Store.open(ex, bytearray(b"p")),
     "Argument 'path' has incorrect type (expected bytes, got bytearray)"),
    (lambda ex: Store.open(ex, None), "object of type 'NoneType' has no len()"),
    (lambda ex: Store.create(ex, b"p", 0, 1, None, EMPTY),
     "Argument 'dict_data' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (lambda ex: Store.create(ex, b"p", 0, 1, EMPTY, b"s"),
     "Argument 'schema' has incorrect type (expected numpy.ndarray, got bytes)"),
    (lambda ex: Store().dense_gather([1], EMPTY, 1),
     "Argument 'idxs' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda ex: Store().dense_gather(np.empty(0, np.uint64), None, 1),
     "Argument 'dst' has incorrect type (expected numpy.ndarray, got NoneType)"),
])
def test_type_tests(executor, call, text):
    with pytest.raises(TypeError, match=message(text)):
        call(executor)


def test_subclasses_pass_type_tests(store_path):
    class LocalExecutor(Executor):
        pass

    class LocalArray(np.ndarray):
        pass

    executor = LocalExecutor(1)
    schema = np.frombuffer(b"abc", np.uint8).view(LocalArray)
    store = Store.create(executor, store_path, 0, 1, EMPTY.view(LocalArray), schema)
    store.close(False)
    executor.close()


def test_keywords_that_are_not_strings():
    # The interpreter refuses such keywords at ordinary call sites; a C caller can still pass
    # them in the dict of a type call.
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError, match=message("__cinit__() keywords must be strings")):
        call(Executor, (1,), {1: 2})
