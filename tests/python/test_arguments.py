"""Argument parsing and value conversion: what a wrong call reports, and which
spellings of a right call are accepted."""

import operator

import pytest

import velqor
from model import Model
from support import HADAMARD, IDENTITY
from support import HADAMARD_GATE as G
from support import X_GATE as X


def register(qubits=2):
    return velqor.Register(qubits)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrKey(str):
    """A keyword name that displays differently from its text."""

    def __str__(self):
        return "shown-" + str.__str__(self)


class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=Meta):
    pass


# (call, exception type, exact message)
PARSER_CASES = {
    "gate-missing": (lambda: velqor.QGate(), TypeError, "QGate.__new__() missing 1 required positional argument: 'matrix'"),
    "gate-too-many": (lambda: velqor.QGate(IDENTITY, IDENTITY), TypeError, "QGate.__new__() takes 1 positional arguments but 2 were given"),
    "gate-too-many-before-keywords": (lambda: velqor.QGate(IDENTITY, IDENTITY, x=1), TypeError, "QGate.__new__() takes 1 positional arguments but 2 were given"),
    "gate-twice": (lambda: velqor.QGate(IDENTITY, matrix=IDENTITY), TypeError, "QGate.__new__() got multiple values for argument 'matrix'"),
    "gate-unknown": (lambda: velqor.QGate(x=IDENTITY), TypeError, "QGate.__new__() got an unexpected keyword argument 'x'"),
    "gate-unknown-after-match": (lambda: velqor.QGate(matrix=IDENTITY, x=1), TypeError, "QGate.__new__() got an unexpected keyword argument 'x'"),
    "gate-first-bad-keyword-wins": (lambda: velqor.QGate(y=1, matrix=IDENTITY, x=1), TypeError, "QGate.__new__() got an unexpected keyword argument 'y'"),
    "register-missing": (lambda: velqor.Register(), TypeError, "Register.__new__() missing 1 required positional argument: 'qubits'"),
    "register-too-many": (lambda: velqor.Register(1, 2, 3), TypeError, "Register.__new__() takes 1 positional arguments but 3 were given"),
    "apply-missing-3": (lambda: register().apply_gate(), TypeError, "Register.apply_gate() missing 3 required positional arguments: 'gate', 'targets', and 'controls'"),
    "apply-missing-2": (lambda: register().apply_gate(G), TypeError, "Register.apply_gate() missing 2 required positional arguments: 'targets' and 'controls'"),
    "apply-missing-1": (lambda: register().apply_gate(G, [0]), TypeError, "Register.apply_gate() missing 1 required positional argument: 'controls'"),
    "apply-missing-around-keyword": (lambda: register().apply_gate(targets=[0]), TypeError, "Register.apply_gate() missing 2 required positional arguments: 'gate' and 'controls'"),
    "apply-too-many": (lambda: register().apply_gate(G, [0], [], []), TypeError, "Register.apply_gate() takes 3 positional arguments but 4 were given"),
    "apply-twice": (lambda: register().apply_gate(G, [0], [], gate=G), TypeError, "Register.apply_gate() got multiple values for argument 'gate'"),
    "apply-twice-keyword": (lambda: register().apply_gate(G, targets=[0], controls=[], gate=G), TypeError, "Register.apply_gate() got multiple values for argument 'gate'"),
    "apply-unknown-before-missing": (lambda: register().apply_gate(x=1), TypeError, "Register.apply_gate() got an unexpected keyword argument 'x'"),
    "measure-twice": (lambda: register().measure(0, target=0), TypeError, "Register.measure() got multiple values for argument 'target'"),
    "measure-missing": (lambda: register().measure(), TypeError, "Register.measure() missing 1 required positional argument: 'target'"),
    "measure-too-many": (lambda: register().measure(0, 1), TypeError, "Register.measure() takes 1 positional arguments but 2 were given"),
    "measure-surrogate-keyword": (lambda: register().measure(**{"\udcff": 0}), TypeError, "Register.measure() got an unexpected keyword argument '\udcff'"),
    "gate-surrogate-keyword": (lambda: velqor.QGate(**{"ma\ud800trix": IDENTITY}), TypeError, "QGate.__new__() got an unexpected keyword argument 'ma\ud800trix'"),
    "keyword-shown-through-str": (lambda: register().measure(**{StrKey("tgt"): 0}), TypeError, "Register.measure() got an unexpected keyword argument 'shown-tgt'"),
}



def index_refusal(value):
    """The interpreter's own message for an __index__ that returns no int,
    which the module passes on (its wording changed in 3.15)."""
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{value!r} has an index")


# Conversion failures: (call, exception type, exact message)
CONVERSION_CASES = {
    "matrix-str": (lambda: velqor.QGate("ab"), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
    "matrix-row-str": (lambda: velqor.QGate(["ab", "cd"]), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
    "matrix-int": (lambda: velqor.QGate(5), TypeError, "argument 'matrix': 'int' object cannot be converted to 'Sequence'"),
    "matrix-dict": (lambda: velqor.QGate({0: [1, 0]}), TypeError, "argument 'matrix': 'dict' object cannot be converted to 'Sequence'"),
    "matrix-iterator": (lambda: velqor.QGate(iter(IDENTITY)), TypeError, "argument 'matrix': 'list_iterator' object cannot be converted to 'Sequence'"),
    "matrix-row-set": (lambda: velqor.QGate([{1, 0}, [0, 1]]), TypeError, "argument 'matrix': 'set' object cannot be converted to 'Sequence'"),
    "matrix-element-str": (lambda: velqor.QGate([[1, "x"], [0, 1]]), AttributeError, "'str' object has no attribute 'real'"),
    "matrix-3x3-bad-element": (lambda: velqor.QGate([[1, 0, 0], [0, 1, 0], [0, 0, None]]), AttributeError, "'NoneType' object has no attribute 'real'"),
    "qubits-float": (lambda: velqor.Register(2.0), TypeError, "argument 'qubits': 'float' object cannot be interpreted as an integer"),
    "qubits-negative": (lambda: velqor.Register(-1), OverflowError, "can't convert negative int to unsigned"),
    "qubits-too-wide": (lambda: velqor.Register(2**64), OverflowError, "int too big to convert"),
    "qubits-str": (lambda: velqor.Register("3"), TypeError, "argument 'qubits': 'str' object cannot be interpreted as an integer"),
    "gate-register": (lambda: (lambda r: r.apply_gate(r, [0], []))(register()), TypeError, "argument 'gate': 'Register' object cannot be converted to 'QGate'"),
    "gate-list": (lambda: register().apply_gate(HADAMARD, [0], []), TypeError, "argument 'gate': 'list' object cannot be converted to 'QGate'"),
    "gate-nameless-type": (lambda: register().apply_gate(Nameless(), [0], []), TypeError, "argument 'gate': '<failed to extract type name>' object cannot be converted to 'QGate'"),
    "targets-int": (lambda: register().apply_gate(G, 0, []), TypeError, "argument 'targets': 'int' object cannot be converted to 'Sequence'"),
    "targets-generator": (lambda: register().apply_gate(G, (t for t in [0]), []), TypeError, "argument 'targets': 'generator' object cannot be converted to 'Sequence'"),
    "targets-float": (lambda: register().apply_gate(G, [0.0], []), TypeError, "argument 'targets': 'float' object cannot be interpreted as an integer"),
    "targets-negative": (lambda: register().apply_gate(G, [-1], []), OverflowError, "can't convert negative int to unsigned"),
    "targets-bad-index-result": (lambda: register().apply_gate(G, [Index("0")], []), TypeError, "argument 'targets': " + index_refusal(Index("0"))),
    "controls-str": (lambda: register().apply_gate(G, [0], "1"), TypeError, "argument 'controls': Can't extract `str` to `Vec`"),
    "controls-str-subclass": (lambda: register().apply_gate(G, [0], StrKey("1")), TypeError, "argument 'controls': Can't extract `str` to `Vec`"),
    "controls-none": (lambda: register().apply_gate(G, [0], None), TypeError, "argument 'controls': 'NoneType' object cannot be converted to 'Sequence'"),
    "gate-checked-before-targets": (lambda: register().apply_gate(None, "x", "y"), TypeError, "argument 'gate': 'NoneType' object cannot be converted to 'QGate'"),
    "targets-checked-before-controls": (lambda: register().apply_gate(G, "x", "y"), TypeError, "argument 'targets': Can't extract `str` to `Vec`"),
    "target-negative": (lambda: register().measure(-1), OverflowError, "can't convert negative int to unsigned"),
    "target-float": (lambda: register().measure(0.5), TypeError, "argument 'target': 'float' object cannot be interpreted as an integer"),
}


@pytest.mark.parametrize("case", sorted(PARSER_CASES))
def test_parser_messages(case):
    call, error_type, message = PARSER_CASES[case]
    with pytest.raises(error_type) as caught:
        call()
    assert type(caught.value) is error_type
    assert str(caught.value) == message


@pytest.mark.parametrize("case", sorted(CONVERSION_CASES))
def test_conversion_failures(case):
    call, error_type, message = CONVERSION_CASES[case]
    with pytest.raises(error_type) as caught:
        call()
    assert type(caught.value) is error_type
    assert str(caught.value) == message


WORD_OVERFLOW = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "call",
    [
        lambda r: velqor.Register(2**32),
        lambda r: velqor.Register(Index(2**64 - 1)),
        lambda r: r.apply_gate(X, [2**32], []),
        lambda r: r.apply_gate(X, [0, 2**32], []),
        lambda r: r.apply_gate(X, [0], [2**32 + 1]),
        lambda r: r.apply_gate(X, [0, 1], [1, Index(2**33)]),
        lambda r: r.measure(2**32),
        lambda r: r.measure(2**64 - 1),
    ],
    ids=["qubits", "qubits-index", "target", "second-target", "control", "second-control", "measure", "measure-max"],
)
def test_words_wider_than_32_bits_overflow_before_anything_runs(call, capfd):
    reg = register()
    with pytest.raises(OverflowError) as caught:
        call(reg)
    assert type(caught.value) is OverflowError
    assert str(caught.value) == WORD_OVERFLOW
    assert reg.probabilities() == [1.0, 0.0, 0.0, 0.0]  # no earlier target applied
    assert capfd.readouterr().err == ""


def test_keyword_names_compare_by_text():
    reg = register(1)
    reg.apply_gate(**{StrKey("gate"): G, "targets": [0], StrKey("controls"): []})
    assert reg.probabilities() == [0.4999999999999999, 0.4999999999999999]


class Field:
    """An element whose `real` and `imag` attributes are whatever is given."""

    def __init__(self, real, imag=0.0):
        self._real, self._imag = real, imag

    @property
    def real(self):
        if isinstance(self._real, BaseException):
            raise self._real
        return self._real

    @property
    def imag(self):
        if isinstance(self._imag, BaseException):
            raise self._imag
        return self._imag


class CustomTypeError(TypeError):
    pass


def test_field_failure_wraps_the_float_error_as_cause():
    with pytest.raises(TypeError) as caught:
        velqor.QGate([[Field("1"), 0], [0, 1]])
    assert str(caught.value) == "argument 'matrix': failed to extract field Complex.real"
    cause = caught.value.__cause__
    assert type(cause) is TypeError and str(cause) == "must be real number, not str"


@pytest.mark.parametrize(
    ("element", "message", "cause_type"),
    [
        (Field(1.0, "0"), "argument 'matrix': failed to extract field Complex.imag", TypeError),
        (Field(10**400), "argument 'matrix': failed to extract field Complex.real", OverflowError),
        (Field(1.0, 10**400), "argument 'matrix': failed to extract field Complex.imag", OverflowError),
    ],
)
def test_field_failures_name_the_field(element, message, cause_type):
    with pytest.raises(TypeError) as caught:
        velqor.QGate([[1, 0], [0, element]])
    assert str(caught.value) == message
    assert type(caught.value.__cause__) is cause_type


def test_wrapping_keeps_the_cause_of_the_replaced_error():
    root = ValueError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as caught:
        velqor.QGate([[Field(inner), 0], [0, 1]])
    assert str(caught.value) == "argument 'matrix': inner"
    assert caught.value.__cause__ is root
    assert caught.value is not inner


def test_wrapping_without_a_cause_leaves_none():
    with pytest.raises(TypeError) as caught:
        velqor.QGate([[Field(TypeError("plain")), 0], [0, 1]])
    assert str(caught.value) == "argument 'matrix': plain"
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("error", [CustomTypeError("sub"), ValueError("value"), KeyError("key")], ids=lambda e: type(e).__name__)
def test_errors_other_than_exact_type_error_pass_through(error):
    with pytest.raises(type(error)) as caught:
        velqor.QGate([[Field(error), 0], [0, 1]])
    assert caught.value is error


class Complexish:
    def __init__(self, real, imag):
        self.real, self.imag = real, imag


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


@pytest.mark.parametrize(
    "matrix",
    [
        IDENTITY,
        [[True, False], [False, True]],
        ((1, 0), (0, 1)),
        [(1.0, 0.0), [0j, 1 + 0j]],
        ListSub([TupleSub((1, 0)), range(1, -1, -1)[::-1]]),
        [[Complexish(1, 0), Complexish(0.0, 0)], [0, Complexish(FloatLike(1.0), FloatLike(0.0))]],
    ],
    ids=["ints", "bools", "tuples", "mixed", "subclasses", "attributes"],
)
def test_identity_spellings(matrix):
    reg = register(1)
    reg.apply_gate(velqor.QGate(matrix), [0], [])
    assert reg.probabilities() == [1.0, 0.0]


@pytest.mark.parametrize(
    "matrix",
    [
        [[0, -1j], [1j, 0]],
        [[0, Complexish(0, -1)], [Complexish(0, 1), 0]],
        [[0, complex(-0.0, -1.0)], [1j, 0.0]],
    ],
)
def test_pauli_y_spellings_flip_the_qubit(matrix):
    reg = register(1)
    reg.apply_gate(velqor.QGate(matrix=matrix), targets=[0], controls=[])
    assert reg.probabilities() == [0.0, 1.0]


def test_minus_one_is_a_value_not_an_error():
    reg = register(1)
    reg.apply_gate(velqor.QGate([[-1, 0], [0, Complexish(FloatLike(-1.0), -0.0)]]), [0], [])
    assert reg.probabilities() == [1.0, 0.0]


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "spell",
    [
        list,
        tuple,
        ListSub,
        TupleSub,
        lambda xs: Seq(*xs),
        lambda xs: Seq(*xs, length=2**62),
        lambda xs: [Index(x) for x in xs],
        lambda xs: [bool(x) if x < 2 else x for x in xs],
        lambda xs: bytes(xs),
        lambda xs: range(xs[0], xs[0] + 1) if len(xs) == 1 else list(xs),
    ],
    ids=["list", "tuple", "list-sub", "tuple-sub", "sequence", "sequence-huge-len", "index", "bool", "bytes", "range"],
)
def test_index_sequence_spellings_agree(spell):
    targets, controls = [0, 2], [1]
    reg = register(3)
    reg.apply_gate(G, spell([1]), spell([]))
    reg.apply_gate(G, spell(targets), spell(controls))
    model = Model(3)
    model.apply_gate(HADAMARD, [1], [])
    model.apply_gate(HADAMARD, targets, controls)
    assert reg.probabilities() == model.probabilities()


class Shrinking:
    """An index whose conversion empties the list it sits in."""

    def __init__(self, value, owner):
        self.value, self.owner = value, owner

    def __index__(self):
        self.owner.clear()
        return self.value


class Growing:
    """An index whose conversion appends another target to its list."""

    def __init__(self, value, owner, extra):
        self.value, self.owner, self.extra = value, owner, extra

    def __index__(self):
        if len(self.owner) < 4:
            self.owner.append(self.extra)
        return self.value


@pytest.mark.parametrize("container", [list, ListSub], ids=["list", "list-subclass"])
@pytest.mark.parametrize("kind", ["shrinking", "growing"])
def test_list_changed_during_conversion_is_read_like_its_iterator(container, kind):
    targets = container()
    if kind == "shrinking":
        targets.extend([Shrinking(0, targets), 1, 2])
    else:
        targets.extend([Growing(0, targets, 1), 2])
    reg = register(3)
    reg.apply_gate(G, targets, [])
    # The list is re-measured before every element: an emptied list ends the
    # conversion, an appended element is converted too.
    expected_targets = [0] if kind == "shrinking" else [0, 2, 1]
    model = Model(3)
    model.apply_gate(HADAMARD, expected_targets, [])
    assert reg.probabilities() == model.probabilities()


def test_unreadable_sequence_length_is_ignored():
    class NoLen(Seq):
        def __len__(self):
            raise ValueError("no length")

    reg = register(2)
    reg.apply_gate(G, NoLen(0, 1), [])
    assert reg.probabilities() == [0.2499999999999999] * 4


def test_iterator_errors_pass_through():
    class Broken(Seq):
        def __iter__(self):
            yield 0
            raise KeyError("broken iterator")

    reg = register(2)
    with pytest.raises(KeyError, match="broken iterator"):
        reg.apply_gate(G, Broken(), [])
    assert reg.probabilities() == [1.0, 0.0, 0.0, 0.0]


def test_failed_isinstance_check_counts_as_not_a_string():
    class Shifty(Seq):
        @property
        def __class__(self):
            raise RuntimeError("no class")

    reg = register(1)
    reg.apply_gate(G, Shifty(0), [])
    assert reg.probabilities() == [0.4999999999999999, 0.4999999999999999]


def test_object_claiming_to_be_a_string_is_refused():
    class Pretender(Seq):
        @property
        def __class__(self):
            return str

    with pytest.raises(TypeError) as caught:
        register().apply_gate(G, Pretender(0), [])
    assert str(caught.value) == "argument 'targets': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("qubits", [True, Index(3), 0, 5])
def test_register_sizes(qubits):
    assert velqor.Register(qubits).probabilities() == [1.0] + [0.0] * ((1 << int(qubits)) - 1)


def test_results_are_fresh_python_objects():
    reg = register(2)
    first, second = reg.probabilities(), reg.probabilities()
    assert first == second and first is not second
    assert all(type(p) is float for p in first)
    assert type(reg.measure(0)) is int and type(reg.measure_all()) is int
    assert reg.apply_gate(G, [0], []) is None
