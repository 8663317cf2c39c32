"""The module object, its one-time initialisation and the two classes as types."""

import ctypes
import importlib.machinery
import pathlib
import shutil
import subprocess
import sys
import weakref

import pytest

import velqor
from support import IDENTITY, run_python

CLASSES = [velqor.QGate, velqor.Register]


def make_instance(cls):
    return cls(IDENTITY) if cls is velqor.QGate else cls(1)


def test_module_publishes_both_classes_in_order():
    assert velqor.__all__ == ["QGate", "Register"]
    assert {name: type(vars(velqor)[name]) for name in velqor.__all__} == {"QGate": type, "Register": type}
    assert isinstance(velqor.__doc__, str) and "\n" not in velqor.__doc__.strip()
    public = {name for name in vars(velqor) if not name.startswith("_")}
    assert public == {"QGate", "Register"}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_type_properties(cls):
    name = cls.__name__
    assert name in ("QGate", "Register")
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ is None
    assert cls.__text_signature__ is None
    assert cls.__bases__ == (object,)
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
    for inherited in ("__repr__", "__eq__", "__hash__"):
        assert getattr(cls, inherited) is getattr(object, inherited)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_take_no_attributes_and_no_weak_references(cls):
    instance = make_instance(cls)
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_objects_accept_attributes(cls):
    cls.velqor_test_marker = 42
    try:
        assert make_instance(cls).velqor_test_marker == 42
    finally:
        del cls.velqor_test_marker
    assert not hasattr(cls, "velqor_test_marker")


@pytest.mark.parametrize(
    ("method", "signature"),
    [
        ("apply_gate", "($self, gate, targets, controls)"),
        ("probabilities", "($self)"),
        ("measure", "($self, target)"),
        ("measure_all", "($self)"),
    ],
)
def test_method_signature_texts(method, signature):
    function = getattr(velqor.Register, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__qualname__ == f"Register.{method}"


def test_register_has_exactly_the_four_methods():
    own = {name for name, value in vars(velqor.Register).items() if callable(value) and not name.startswith("__")}
    assert own == {"apply_gate", "probabilities", "measure", "measure_all"}
    assert not any(callable(v) and not n.startswith("__") for n, v in vars(velqor.QGate).items())


@pytest.mark.parametrize("method", ["probabilities", "measure_all"])
def test_no_argument_methods_refuse_arguments(method):
    register = velqor.Register(1)
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(register, method)(1)


def _raw_method(name):
    """The C function behind a Register method, bypassing the interpreter's own
    receiver check (method descriptor -> PyMethodDef -> ml_meth, 3.11 layout)."""
    descriptor = vars(velqor.Register)[name]
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 5 * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.c_void_p.from_address(method_def + ctypes.sizeof(ctypes.c_void_p)).value


NOARGS = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
FASTCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p)


@pytest.mark.parametrize("method", ["apply_gate", "probabilities", "measure", "measure_all"])
@pytest.mark.parametrize(
    ("receiver", "type_name"), [(velqor.QGate(IDENTITY), "QGate"), (7, "int"), ("text", "str")]
)
def test_method_refuses_a_foreign_receiver(method, receiver, type_name):
    address = _raw_method(method)
    if method in ("probabilities", "measure_all"):
        call = lambda: NOARGS(address)(receiver, None)  # noqa: E731
    else:
        call = lambda: FASTCALL(address)(receiver, None, 0, None)  # noqa: E731
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == f"'{type_name}' object cannot be converted to 'Register'"


def test_raw_method_accepts_a_register():
    register = velqor.Register(2)
    assert NOARGS(_raw_method("probabilities"))(register, None) == [1.0, 0.0, 0.0, 0.0]


def test_second_initialisation_is_refused():
    result = run_python(
        """
        import ctypes, velqor
        init = ctypes.PyDLL(velqor.__file__).PyInit_velqor
        init.restype = ctypes.py_object
        for attempt in range(2):
            try:
                init()
            except ImportError as error:
                print(type(error).__name__, error)
        print(velqor.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    message = "ImportError PyO3 modules may only be initialized once per interpreter process"
    assert result.stdout.splitlines() == [message, message, "['QGate', 'Register']"]


def test_deleting_a_register_releases_its_state():
    # 16 MiB of amplitudes, written in full by an X gate on the top qubit.
    result = run_python(
        """
        import velqor
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        gate = velqor.QGate([[0, 1], [1, 0]])
        r = velqor.Register(20); r.apply_gate(gate, [19], []); del r
        base = rss()
        for _ in range(30):
            r = velqor.Register(20)
            r.apply_gate(gate, [19], [])
            del r
        print(rss() - base)
        """
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 48 * 2**20


def test_the_module_file_names_its_interpreter_and_no_other_version_imports_it(tmp_path):
    """The file carries this interpreter's own extension suffix (a bare
    velqor.so would be imported by any version). A copy under this version's
    name imports; copies named for the other versions are passed over, as every
    other version passes over this one."""
    path = pathlib.Path(velqor.__file__)
    own = importlib.machinery.EXTENSION_SUFFIXES[0]
    tag = f"-{sys.version_info[0]}{sys.version_info[1]}-"
    assert own == f".cpython{tag}{sys.implementation._multiarch}.so"
    assert path.name == "velqor" + own

    def import_from(folder):
        # -S: no site-packages, where an installed velqor would answer instead.
        code = f"import sys; sys.path.insert(0, {str(folder)!r}); import velqor; print(velqor.__file__)"
        return subprocess.run([sys.executable, "-S", "-I", "-c", code], capture_output=True, text=True, timeout=60)

    names = {minor: "velqor" + own.replace(tag, f"-3{minor}-") for minor in (11, 12, 13, 14, 15)}
    for minor, name in names.items():
        folder = tmp_path / str(minor)
        folder.mkdir()
        shutil.copy(path, folder / name)
        result = import_from(folder)
        if name == path.name:
            assert result.returncode == 0, result.stderr
            assert result.stdout == f"{folder / name}\n"
        else:
            assert result.returncode == 1
            # (3.15 adds a hint about the disabled site-packages.)
            assert result.stderr.splitlines()[-1].startswith("ModuleNotFoundError: No module named 'velqor'")
