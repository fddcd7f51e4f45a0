"""Importing tavrill._store: its namespace, tables, QuarvelError and the module frame."""

import pickle
import sys

import pytest

import tavrill._store as store_module
from tavrill._store import QuarvelError

RECORD_TOO_LARGE = "record exceeds the 2147483648 byte limit"


def test_namespace_holds_its_names_in_binding_order():
    own = [name for name in vars(store_module) if not name.startswith("__")]
    assert own == [
        "Executor", "Store", "np", "MAX_RECORD_LEN", "MAX_SCHEMA_LEN", "MAX_DATA_SHARDS",
        "CODECS", "_TAGS", "_ERRORS", "QuarvelError", "build_dict",
    ]
    assert store_module.__doc__ is None
    assert not hasattr(store_module, "_check")
    assert not hasattr(store_module, "_write_cu_seqlens")


def test_constants_and_tables():
    import numpy

    assert store_module.np is numpy
    assert (store_module.MAX_RECORD_LEN, store_module.MAX_SCHEMA_LEN,
            store_module.MAX_DATA_SHARDS) == (2**31, 2040, 255)
    assert all(type(store_module.__dict__[name]) is int
               for name in ("MAX_RECORD_LEN", "MAX_SCHEMA_LEN", "MAX_DATA_SHARDS"))
    assert list(store_module.CODECS.items()) == [("raw", 0), ("zstd", 1), ("zstd_dict", 2)]
    assert list(store_module._TAGS.items()) == [(0, "raw"), (1, "zstd"), (2, "zstd_dict")]
    assert list(store_module._ERRORS) == [-1, -2, -4, -5, -6, -7, -8, -9, -11, -12, -13]
    assert store_module._ERRORS[-4] == RECORD_TOO_LARGE
    assert store_module._ERRORS[-13] == (
        "store is busy (already open by another native handle or process)")


def test_types_and_functions_are_named_after_the_module():
    Executor, Store = store_module.Executor, store_module.Store
    assert (Executor.__module__, Executor.__qualname__) == ("tavrill._store", "Executor")
    assert (Store.__module__, Store.__qualname__) == ("tavrill._store", "Store")
    methods = [(cls, name) for cls in (Executor, Store, QuarvelError)
               for name, value in vars(cls).items()
               if name != "__new__" and (callable(value) or isinstance(value, classmethod))]
    assert {f"{cls.__name__}.{name}" for cls, name in methods} >= {
        "Executor.close", "Executor.__reduce__", "Executor.__setstate__", "Store.open",
        "Store.create", "Store.length", "Store.codec", "Store.data_shards", "Store.close",
        "Store.dense_gather", "Store.dense_append", "Store.ragged_append", "Store.ragged_gather",
        "QuarvelError.__init__"}
    for cls, name in methods:
        function = getattr(cls, name)
        assert function.__module__ == "tavrill._store"
        assert function.__qualname__ == f"{cls.__name__}.{name}"
        assert function.__name__ == name and function.__doc__ is None
    build_dict = store_module.build_dict
    assert (type(build_dict), build_dict.__module__, build_dict.__qualname__) == (
        type(vars(Executor)["close"]), "tavrill._store", "build_dict")
    # open and create are class methods: bound to the class they are called on.
    assert isinstance(vars(Store)["open"], classmethod) and Store.open.__self__ is Store
    assert isinstance(vars(Store)["length"], type(vars(Executor)["close"]))


def test_methods_bind_and_check_their_instance():
    Store = store_module.Store
    empty = Store()
    assert Store.codec(empty) == empty.codec() == "raw"
    with pytest.raises(TypeError, match="^descriptor 'codec' for 'tavrill._store.Store' objects "
                                        "doesn't apply to a 'int' object$"):
        Store.codec(3)
    # Functions pickle by reference, like the module's own.
    assert pickle.loads(pickle.dumps(Store.length)) is vars(Store)["length"]


def test_quarvel_error_is_a_plain_runtime_error_class():
    assert QuarvelError.__bases__ == (RuntimeError,)
    assert type(QuarvelError) is type
    assert (QuarvelError.__module__, QuarvelError.__qualname__) == (
        "tavrill._store", "QuarvelError")
    assert QuarvelError.__doc__ is None
    own = [name for name in vars(QuarvelError)
           if name not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["__init__"]


def test_quarvel_error_messages_and_code():
    assert str(QuarvelError(-4)) == RECORD_TOO_LARGE
    full = QuarvelError(-5)
    assert full.args == ("store is full",) and isinstance(full, RuntimeError)
    assert full.code == -5
    assert str(QuarvelError(-3)) == "unknown quarvel error -3"
    assert str(QuarvelError(code=-10)) == "unknown quarvel error -10"
    assert QuarvelError(-3).code == -3
    assert str(QuarvelError(7)) == "unknown quarvel error 7"
    assert str(QuarvelError("odd")) == "unknown quarvel error odd"
    assert QuarvelError("odd").code == "odd"


def test_quarvel_error_binding():
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional arguments "
                                        r"\(1 given\)$"):
        QuarvelError()
    with pytest.raises(TypeError, match=r"\(3 given\)$"):
        QuarvelError(-1, -2)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'cod'"):
        QuarvelError(-1, cod=2)


def test_quarvel_error_reads_its_table_by_name_and_subclasses(monkeypatch):
    monkeypatch.setitem(store_module.__dict__, "_ERRORS", {-5: "rebound"})
    assert str(QuarvelError(-5)) == "rebound"
    monkeypatch.undo()

    class Narrower(QuarvelError):
        pass

    error = Narrower(-6)
    assert str(error) == "buffer too small" and error.code == -6
    with pytest.raises(QuarvelError):
        raise error
