"""Importing the module, and the shape of its class."""

import collections.abc
import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

import ondrel_velarin.impl_c as impl_c
from ondrel_velarin.impl_c import Velarin

CLASS_DOC = "\n    Velarin 的主类。\n    "
INIT_DOC = "\n        初始化 Velarin，并根据给定的字符串列表构建 Trie。\n        "
LOOKUP_DOC = (
    "\n        接收一个字符串，返回 Trie 中与之匹配的完整单词。"
    "\n        如果没有匹配的单词，则返回空字符串。\n        "
)


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", impl_c.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_impl_c"]


def test_reimport_gives_the_same_module_and_class():
    module, cls = impl_c, Velarin
    del sys.modules["ondrel_velarin.impl_c"]
    again = importlib.import_module("ondrel_velarin.impl_c")
    assert again is module and again.Velarin is cls
    assert importlib.reload(again) is module and module.Velarin is cls
    assert sys.modules["ondrel_velarin.impl_c"] is module


def test_module_namespace():
    assert impl_c.__doc__ is None
    assert impl_c.__test__ == {}
    assert impl_c.__builtins__ is __import__("builtins")
    public = {k for k in vars(impl_c) if not k.startswith("__")}
    assert public == {"Velarin"}
    assert impl_c.__spec__.name == "ondrel_velarin.impl_c"
    assert impl_c.__file__ == impl_c.__spec__.origin
    assert impl_c.__package__ == "ondrel_velarin"


def test_import_issues_no_warning():
    result = run_python("import warnings; warnings.simplefilter('error'); import ondrel_velarin.impl_c")
    assert result.returncode == 0, result.stderr


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    result = run_python(
        """
        import _interpreters
        from ondrel_velarin.impl_c import Velarin
        interp = _interpreters.create("legacy")
        err = _interpreters.exec(interp, "import ondrel_velarin.impl_c")
        print(err.type.__name__ if err else None)
        print(err.msg if err else None)
        _interpreters.destroy(interp)
        print(Velarin(["ab"]).get_closest_prefix("abc"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "ab",
    ]


def test_docstrings_exact():
    assert Velarin.__doc__ == CLASS_DOC
    assert Velarin.__init__.__doc__ == INIT_DOC
    assert Velarin.get_closest_prefix.__doc__ == LOOKUP_DOC
    assert len(LOOKUP_DOC.encode()) == 150


def test_class_identity():
    assert Velarin.__module__ == "ondrel_velarin.impl_c"
    assert Velarin.__name__ == Velarin.__qualname__ == "Velarin"
    assert Velarin.__bases__ == (object,)
    flags = Velarin.__flags__
    assert flags & (1 << 10)  # subclassable
    assert flags & (1 << 8)  # immutable
    assert not flags & (1 << 14)  # not collected
    assert not flags & (1 << 9)  # not a heap type


def test_class_dictionary():
    names = set(vars(Velarin))
    assert {"__init__", "__iter__", "__new__", "get_closest_prefix", "__reduce__", "__setstate__", "__doc__"} <= names
    capsules = [v for v in vars(Velarin).values() if type(v).__name__ == "PyCapsule"]
    assert len(capsules) == 1
    assert not {"__getstate__", "__reduce_ex__", "__copy__", "__dict__", "__weakref__"} & names


@pytest.mark.parametrize(
    "action",
    [lambda: setattr(Velarin, "x", 1), lambda: delattr(Velarin, "get_closest_prefix"), lambda: setattr(Velarin, "get_closest_prefix", None)],
)
def test_class_is_immutable(action):
    with pytest.raises(TypeError, match="immutable"):
        action()


def test_instances_take_no_attributes_nor_weak_references():
    v = Velarin(["a"])
    with pytest.raises(AttributeError):
        v.x = 1
    with pytest.raises(TypeError):
        weakref.ref(v)


def test_function_object():
    f = Velarin.__dict__["get_closest_prefix"]
    assert Velarin.get_closest_prefix is f
    assert f.__name__ == "get_closest_prefix"
    assert f.__qualname__ == "Velarin.get_closest_prefix"
    assert f.__module__ == "ondrel_velarin.impl_c"
    assert f.__code__.co_varnames[: f.__code__.co_argcount] == ("self", "key")
    assert str(inspect.signature(f)) == "(self, key)"
    assert str(inspect.signature(Velarin(["a"]).get_closest_prefix)) == "(key)"
    v = Velarin(["a"])
    bound = v.get_closest_prefix
    assert bound.__self__ is v and bound.__func__ is f
    assert f(v, "ab") == "a"


def test_subclass_inherits_everything():
    class S(Velarin):
        pass

    s = S(["ab", "a"])
    assert s.get_closest_prefix("abc") == "ab"
    assert sorted(s) == ["a", "ab"]
    s.extra = 1  # a Python subclass has a dictionary
    with pytest.raises(TypeError, match="cannot be converted"):
        __import__("pickle").dumps(s)


def test_abstract_subclass_cannot_be_instantiated():
    import abc

    class A(Velarin, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def f(self): ...

    with pytest.raises(TypeError, match="abstract"):
        A(["a"])


def test_new_without_init():
    v = Velarin.__new__(Velarin)
    assert v.get_closest_prefix("abc") == ""
    assert list(v) == []
    del v


def test_iterator_is_a_generator():
    assert isinstance(iter(Velarin([])), collections.abc.Generator)


def frame_names(excinfo) -> list[tuple[str, str]]:
    return [(f.filename, f.name) for f in traceback.extract_tb(excinfo.tb)]


@pytest.mark.parametrize(
    ("call", "method"),
    [
        (lambda: Velarin(), "__init__"),
        (lambda: Velarin([b"x"]), "__init__"),
        (lambda: Velarin(["a"]).get_closest_prefix(1), "get_closest_prefix"),
        (lambda: Velarin(["a"]).__reduce__(), "__reduce__"),
        (lambda: Velarin(["a"]).__setstate__(None), "__setstate__"),
    ],
)
def test_traceback_entries_name_the_method(call, method):
    with pytest.raises(Exception) as excinfo:
        call()
    assert ("ondrel_velarin/impl_c", f"ondrel_velarin.impl_c.Velarin.{method}") in frame_names(excinfo)


@pytest.mark.parametrize(
    "statement, expected",
    [
        ("import ondrel_velarin", {"ondrel_velarin"}),
        ("import ondrel_velarin.impl_c", {"ondrel_velarin", "ondrel_velarin.impl_c"}),
        ("from ondrel_velarin import segment", {"ondrel_velarin", "ondrel_velarin.impl_c", "ondrel_velarin.scan_c"}),
        ("from ondrel_velarin import Lexicon",
         {"ondrel_velarin", "ondrel_velarin.impl_c", "ondrel_velarin.lexicon", "ondrel_velarin.lexicon_c"}),
    ],
)
def test_imports_load_only_what_they_need(statement, expected):
    # The package's names load when first used; no module pulls in
    # typing, threading, hashlib or the collections package on the way.
    code = f"import sys; before = set(sys.modules); {statement}; print(sorted(set(sys.modules) - before))"
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    loaded = set(eval(done.stdout)) - {"importlib.machinery"}
    assert loaded == expected


def test_the_package_names_its_lazy_attributes():
    import ondrel_velarin

    assert {"Lexicon", "Velarin", "VelarinHandle", "segment", "longest_matches", "nbytes"} <= set(dir(ondrel_velarin))
    with pytest.raises(AttributeError, match="has no attribute 'nothing'"):
        ondrel_velarin.nothing
