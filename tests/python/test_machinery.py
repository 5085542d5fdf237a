"""The entry machinery shared by every class, driven through the test-only module _qiv_testkit.

Its classes are built exactly as the module's own: Sample is a value class (constructor with
four parameters, static methods, getters, repr/str, hash and value equality) and Gauge an
object with the shared-borrow counter and no constructor.
"""
import functools
import gc
import json
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

_qiv_testkit = pytest.importorskip("_qiv_testkit")
Sample = _qiv_testkit.Sample
Gauge = _qiv_testkit.Gauge
borrow_count = _qiv_testkit.borrow_count


class Text(str):
    pass


class Blob(bytes):
    pass


class Mapping(dict):
    pass


# --- argument matching, 0 to 4 parameters ---------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Sample(), "Sample.__new__() missing 1 required positional argument: 'name'"),
        (lambda: Sample("a", [], None, b"", 5),
         "Sample.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: Sample("a", name="b"), "Sample.__new__() got multiple values for argument 'name'"),
        (lambda: Sample("a", colour=1), "Sample.__new__() got an unexpected keyword argument 'colour'"),
        (lambda: Sample("a", Name="a"), "Sample.__new__() got an unexpected keyword argument 'Name'"),
        (lambda: Sample.from_parts(),
         "Sample.from_parts() missing 3 required positional arguments: 'a', 'b', and 'c'"),
        (lambda: Sample.from_parts("x", c="z"),
         "Sample.from_parts() missing 1 required positional argument: 'b'"),
        (lambda: Sample.from_parts("x", "y", "z", "w"),
         "Sample.from_parts() takes 3 positional arguments but 4 were given"),
        (lambda: Sample("a").combine(),
         "Sample.combine() missing 1 required positional argument: 'other'"),
        (lambda: Sample("a").combine(Sample("b"), "-", "+"),
         "Sample.combine() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Sample.from_dict({}, {}), "Sample.from_dict() takes 1 positional arguments but 2 were given"),
        (lambda: Sample.from_dict(e={}), "Sample.from_dict() got an unexpected keyword argument 'e'"),
        (lambda: Sample("a").fault("m", message="m"),
         "Sample.fault() got multiple values for argument 'message'"),
    ],
)
def test_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


class NamedLike:
    """A keyword key that is no str but whose str() is a parameter name."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __hash__(self):
        return hash(self.text)


def call_with_keys(fn, *args, keys):
    # functools.partial hands its own keywords dict to the call as it is, so it can carry keys
    # that a ** call would refuse.
    call = functools.partial(fn, *args)
    call.keywords.update(keys)
    return call()


@pytest.mark.parametrize(
    "args, keys, message",
    [
        ((), {NamedLike("name"): "a"}, "Sample.__new__() got an unexpected keyword argument 'name'"),
        ((), {1: "a"}, "Sample.__new__() got an unexpected keyword argument '1'"),
        (("a",), {"note": "n", NamedLike("tags"): []},
         "Sample.__new__() got an unexpected keyword argument 'tags'"),
        # Keywords are taken in order: a problem of an earlier one is reported first.
        (("a",), {"name": "b", NamedLike("note"): "n"},
         "Sample.__new__() got multiple values for argument 'name'"),
        (("a", [], None, b"", 5), {NamedLike("note"): "n"},
         "Sample.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    ],
)
def test_keyword_keys_that_are_not_text_match_no_parameter(args, keys, message):
    with pytest.raises(TypeError) as info:
        call_with_keys(Sample, *args, keys=keys)
    assert str(info.value) == message


def test_arguments_by_position_and_keyword():
    positional = Sample("a", ["t"], "n", b"b")
    keywords = Sample(blob=b"b", note="n", tags=["t"], name="a")
    assert (keywords.name, keywords.tags, keywords.note, keywords.blob) == ("a", ["t"], "n", b"b")
    assert positional.tags == keywords.tags and positional.blob == keywords.blob
    assert Sample.from_parts(c="3", a="1", b="2").name == "1/2/3"
    assert Sample("a").combine(separator="+", other=Sample("b")) == "a+b"


def test_omitted_optional_parameters_take_their_defaults():
    s = Sample("a")
    assert (s.tags, s.note, s.blob, s.has_note) == ([], None, b"", False)
    assert Sample("a", note=None).note is None
    assert Sample("a", note="").note == ""
    assert Sample("a").combine(Sample("b")) == "ab"


def test_methods_without_parameters_refuse_arguments_themselves():
    with pytest.raises(TypeError):
        Sample.make(1)
    with pytest.raises(TypeError):
        Sample("a").describe(x=1)


# --- conversions ------------------------------------------------------------------------


class RaisingSequence:
    """A sequence whose iteration fails with a chained TypeError."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, index):
        raise self.error


def chained_type_error():
    error = TypeError("iteration broke")
    error.__cause__ = KeyError("root")
    return error


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"name": 1}, "argument 'name': 'int' object cannot be cast as 'str'"),
        ({"name": None}, "argument 'name': 'NoneType' object cannot be cast as 'str'"),
        ({"name": b"a"}, "argument 'name': 'bytes' object cannot be cast as 'str'"),
        ({"name": "a", "tags": "abc"}, "argument 'tags': Can't extract `str` to `Vec`"),
        ({"name": "a", "tags": Text("abc")}, "argument 'tags': Can't extract `str` to `Vec`"),
        ({"name": "a", "tags": None}, "argument 'tags': 'NoneType' object cannot be cast as 'Sequence'"),
        ({"name": "a", "tags": {"k": 1}}, "argument 'tags': 'dict' object cannot be cast as 'Sequence'"),
        ({"name": "a", "tags": {"k"}}, "argument 'tags': 'set' object cannot be cast as 'Sequence'"),
        ({"name": "a", "tags": b"ab"}, "argument 'tags': 'int' object cannot be cast as 'str'"),
        ({"name": "a", "tags": ["x", 1]}, "argument 'tags': 'int' object cannot be cast as 'str'"),
        ({"name": "a", "note": 1.5}, "argument 'note': 'float' object cannot be cast as 'str'"),
        ({"name": "a", "blob": bytearray(b"x")},
         "argument 'blob': 'bytearray' object cannot be cast as 'bytes'"),
        ({"name": "a", "blob": memoryview(b"x")},
         "argument 'blob': 'memoryview' object cannot be cast as 'bytes'"),
        ({"name": "a", "blob": "x"}, "argument 'blob': 'str' object cannot be cast as 'bytes'"),
        ({"name": "a", "blob": None}, "argument 'blob': 'NoneType' object cannot be cast as 'bytes'"),
        ({"name": "a", "tags": RaisingSequence(chained_type_error())},
         "argument 'tags': iteration broke"),
    ],
)
def test_conversion_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        Sample(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_rewrapped_type_error_keeps_the_cause_but_does_not_chain_the_original():
    with pytest.raises(TypeError) as info:
        Sample("a", RaisingSequence(chained_type_error()))
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__cause__.args == ("root",)
    with pytest.raises(TypeError) as info:
        Sample(1)
    assert info.value.__cause__ is None
    assert info.value.__context__ is None


@pytest.mark.parametrize("error", [MyTypeError("sub"), ValueError("other"), LookupError("x")])
def test_errors_other_than_exact_type_error_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        Sample("a", RaisingSequence(error))
    assert info.value is error


def test_conversions_accept_subclasses_and_sequences():
    s = Sample(Text("a"), ("x", Text("y")), Text("n"), Blob(b"\x00\xff"))
    assert (s.name, s.tags, s.note, s.blob) == ("a", ["x", "y"], "n", b"\x00\xff")
    assert type(s.name) is str and type(s.blob) is bytes
    assert Sample("a", b"").tags == []
    assert Sample("a", range(0)).tags == []
    assert Sample.from_dict(Mapping(k=[1, 2])).name == '{"k": [1, 2]}'


def test_lone_surrogate_raises_unicode_encode_error_without_prefix():
    for kwargs in ({"name": "\ud800"}, {"name": "a", "tags": ["\udfff"]}, {"name": "a", "note": "\udc80"}):
        with pytest.raises(UnicodeEncodeError) as info:
            Sample(**kwargs)
        assert "argument" not in str(info.value)


def test_class_instance_argument():
    with pytest.raises(TypeError) as info:
        Sample("a").combine({"name": "b"})
    assert str(info.value) == "argument 'other': 'dict' object cannot be cast as 'Sample'"
    with pytest.raises(TypeError) as info:
        Sample("a").combine(Gauge.open("g"))
    assert str(info.value) == "argument 'other': 'Gauge' object cannot be cast as 'Sample'"


def test_receiver_of_another_class():
    with pytest.raises(TypeError) as info:
        Sample.describe(Gauge.open("g"))
    assert type(info.value) is TypeError


def test_non_text_keys_reach_the_dict_bridge_unchanged():
    with pytest.raises(TypeError) as info:
        Sample.from_dict([1])
    assert str(info.value) == "argument 'd': 'list' object cannot be cast as 'dict'"
    with pytest.raises(TypeError) as info:
        Sample.from_dict({"k": {1, 2}})  # json.dumps's own error, unchanged
    assert "set" in str(info.value) and "argument" not in str(info.value)


# --- results, getters, slots ------------------------------------------------------------


def test_results_and_getters_build_new_objects():
    s = Sample("abcd", ["x", "y", "z"], "n", b"\x01")
    assert s.name == "abcd" and s.size == 4 and s.ratio == 1.5 and s.has_note is True
    assert type(s.size) is int and type(s.ratio) is float
    tags = s.tags
    tags.append("w")
    assert s.tags == ["x", "y", "z"]
    assert s.clone is not s.clone
    assert s.clone == s and type(s.clone) is Sample
    assert Sample.make().name == "made"
    assert s.to_dict() == {"name": "abcd"}
    parts = s.split()
    assert type(parts) is list and [type(p) for p in parts] == [Sample] * 3
    assert [p.name for p in parts] == ["x", "y", "z"]
    assert list(s.as_dict().items()) == [("name", "abcd"), ("tags", ["x", "y", "z"])]


def test_repr_str_and_docstrings():
    assert repr(Sample('q"\n')) == 'Sample(name="q\\"\\n")'
    assert str(Sample("a", ["t"])) == "a with 1 tags"
    assert Sample.__text_signature__ == "(name, tags=..., note=None, blob=...)"
    assert Sample.__doc__ == "A test record."
    assert Sample.describe.__text_signature__ == "($self)"
    assert Sample.describe.__doc__ == "Says what it is."
    assert Sample.make.__text_signature__ == "()"
    assert Sample.from_parts.__text_signature__ == "(a, b, c)"
    assert Gauge.__doc__ == "A test object with a shared-borrow counter."
    assert Gauge.__text_signature__ is None


def test_equality_and_hash():
    a, b = Sample("a", ["x"]), Sample("a", ["y"])  # the comparator looks at names only
    assert a == b and not (a != b)
    assert a != Sample("b") and not (a == Sample("b"))
    assert (a == "a") is False and (a != "a") is True
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"a {op} b")
    assert hash(a) == 1
    assert hash(Sample("minus-one")) == -2


def test_not_equal_propagates_errors_of_the_other_side():
    class Angry:
        def __eq__(self, other):
            raise LookupError("no comparing")

    with pytest.raises(LookupError):
        Sample("a") != Angry()


def test_type_flags():
    with pytest.raises(TypeError):
        Gauge()
    with pytest.raises(TypeError):
        class Derived(Sample):
            pass
    s = Sample("a")
    with pytest.raises(AttributeError):
        s.name = "b"
    with pytest.raises(AttributeError):
        del s.name
    with pytest.raises(AttributeError):
        s.other = 1
    assert not hasattr(s, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(s)
    assert Sample.__module__ == "qiv_protocol"  # the machinery names every type in the module


# --- shared borrow, faults, release -----------------------------------------------------


def test_shared_borrow_is_held_for_the_call_and_released_on_every_road(monkeypatch):
    g = Gauge.open("g")
    assert borrow_count(g) == 0
    seen = []

    def dumps(d):
        seen.append(borrow_count(g))
        seen.append(g.label)  # a nested call takes a second borrow and gives it back
        seen.append(borrow_count(g))
        return "text"

    monkeypatch.setattr(json, "dumps", dumps)
    assert g.dump({}) == "text"
    assert seen == [1, "g", 1]
    assert borrow_count(g) == 0
    with pytest.raises(ValueError) as info:
        g.refuse("no")
    assert str(info.value) == "g refused: no"
    assert borrow_count(g) == 0
    with pytest.raises(TypeError):
        g.dump([])
    assert borrow_count(g) == 0
    with pytest.raises(BaseException):
        g.explode()
    assert borrow_count(g) == 0


def test_fault_is_a_panic_exception(capfd):
    with pytest.raises(BaseException) as info:
        Sample("a").fault("broken invariant")
    panic = type(info.value)
    assert not isinstance(info.value, Exception)
    assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert info.value.args == ("broken invariant",)
    assert "broken invariant" in capfd.readouterr().err
    # One class for the whole process; never a module attribute.
    with pytest.raises(panic):
        Gauge.open("g").explode()
    assert not any(v is panic for v in vars(_qiv_testkit).values())


def test_fault_without_message_gets_a_generic_one():
    with pytest.raises(BaseException) as info:
        Gauge.open("g").explode()
    assert len(info.value.args) == 1 and info.value.args[0]


def test_panic_from_called_python_code_is_taken_over(monkeypatch, capfd):
    with pytest.raises(BaseException) as info:
        Sample("a").fault("first")
    panic = type(info.value)
    original = panic("raised by Python")

    def dumps(d):
        raise original

    monkeypatch.setattr(json, "dumps", dumps)
    g = Gauge.open("g")
    capfd.readouterr()
    with pytest.raises(panic) as info:
        g.dump({})
    assert info.value is not original
    assert info.value.args == ("raised by Python",)
    err = capfd.readouterr().err
    assert "Traceback" in err and "raised by Python" in err
    assert borrow_count(g) == 0


def test_panic_from_a_length_hint_is_taken_over_too(capfd):
    # Any other failure of __len__ is ignored (it is only a capacity hint), a fault is not.
    with pytest.raises(BaseException) as info:
        Sample("a").fault("first")
    panic = type(info.value)

    class PanickingLength:
        def __len__(self):
            raise panic("raised by __len__")

        def __getitem__(self, index):
            raise IndexError

    capfd.readouterr()
    with pytest.raises(panic) as info:
        Sample("a", PanickingLength())
    assert info.value.args == ("raised by __len__",)
    assert "Traceback" in capfd.readouterr().err


def test_release_wipes_and_reports_faults_as_unraisable(monkeypatch):
    gc.collect()
    before = _qiv_testkit.gauges_wiped()
    g = Gauge.open("g")
    del g
    gc.collect()
    assert _qiv_testkit.gauges_wiped() == before + 1

    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda info: seen.append(info))
    g = Gauge.open("h")
    g.arm_release_fault()
    del g
    gc.collect()
    assert len(seen) == 1
    assert type(seen[0].exc_value).__name__ == "PanicException"
    assert seen[0].exc_value.args == ("fault while releasing a Gauge",)
    assert seen[0].object is None


def test_failed_type_build_is_a_runtime_error_with_cause():
    with pytest.raises(RuntimeError) as info:
        _qiv_testkit.register_broken()
    assert str(info.value) == "An error occurred while initializing class Broken"
    assert info.value.__cause__ is not None


# --- objects made around the constructor ------------------------------------------------

# The types are mutable, so Python code can give a class a __new__ that returns a bare
# object.__new__(cls): an object of the class holding no value. Every entry that reads a value
# must refuse it with the fault, and releasing it must not destroy a value that was never
# built. The child makes the hollow object, tries every entry kind that reaches the module's
# code (instance methods with None for each parameter, since the receiver is checked before any
# argument is converted, getters, repr/str, hash, == and != from both sides, the object as an
# argument) and prints one line per use; a crash ends the child instead of the test run.
HOLLOW_CHILD = textwrap.dedent(
    """
    import gc, inspect, sys, tempfile
    import qiv_protocol, _qiv_testkit
    module = qiv_protocol if hasattr(qiv_protocol, NAME) else _qiv_testkit
    cls = getattr(module, NAME)
    anchor = qiv_protocol.MockAnchor("a")
    receipt = anchor.submit(bytes(32))
    envelope = qiv_protocol.SignedEnvelope.from_json(ENVELOPE)
    real = {
        "ProtocolAddress": lambda: qiv_protocol.ProtocolAddress("body", "t", "r"),
        "CounterpartyInfo": lambda: qiv_protocol.CounterpartyInfo("i", "tcp"),
        "SignedEnvelope": lambda: envelope,
        "AttestationChain": lambda: qiv_protocol.AttestationChain(),
        "PeerIdentityDescriptor": lambda: qiv_protocol.SoftwareIdentity.generate().descriptor(),
        "AnchorReceipt": lambda: receipt,
        "AnchorProof": lambda: anchor.verify(receipt),
        "Sample": lambda: _qiv_testkit.Sample("s"),
    }.get(NAME, lambda: None)()
    queue = qiv_protocol.EnvelopeQueue(tempfile.mkdtemp())

    cls.__new__ = staticmethod(lambda c, *args, **kwargs: object.__new__(c))
    hollow = cls()
    assert type(hollow) is cls

    uses = [("repr", lambda: repr(hollow)), ("str", lambda: str(hollow))]
    for name, member in vars(cls).items():
        if type(member).__name__ == "method_descriptor":
            arity = len(inspect.signature(member).parameters) - 1
            uses.append((name, lambda m=member, n=arity: m(hollow, *[None] * n)))
        elif type(member).__name__ == "getset_descriptor" and not name.startswith("__"):
            uses.append((name, lambda n=name: getattr(hollow, n)))
    if type(vars(cls).get("__hash__")).__name__ == "wrapper_descriptor":  # a hash slot of its own
        uses.append(("hash", lambda: hash(hollow)))
    if real is not None:
        uses += [("==", lambda: hollow == real), ("!=", lambda: hollow != real),
                 ("== other", lambda: real == hollow), ("!= other", lambda: real != hollow)]
    if NAME == "AnchorReceipt":
        uses.append(("argument", lambda: anchor.verify(hollow)))
    if NAME == "SignedEnvelope":
        uses.append(("argument", lambda: queue.push("routing", hollow)))
    if NAME == "Sample":
        uses.append(("argument", lambda: real.combine(hollow)))
    for label, use in uses:
        try:
            use()
            print(label, "returned", sep="|")
        except BaseException as error:
            print(label, f"{type(error).__name__} {error}", sep="|")
    del hollow
    gc.collect()
    print("released")
    """
)

HOLLOW_CLASSES = [
    "ProtocolAddress", "CounterpartyInfo", "SignedEnvelope", "AttestationChain",
    "PeerIdentityDescriptor", "SoftwareIdentity", "AnchorReceipt", "AnchorProof", "MockAnchor",
    "EnvelopeQueue", "QueuedItem", "Sample", "Gauge",
]


@pytest.mark.parametrize("name", HOLLOW_CLASSES)
def test_an_object_made_around_the_constructor_faults_in_every_entry(name):
    envelope = json.dumps({
        "exchange_id": "e1", "peer_self": {"class": "body", "type": "t", "ref": "r"},
        "direction": "outbound", "request_hash": "h1", "our_signature": "s1",
        "opened_at": "2024-03-05T07:08:09Z", "protocol_hint": "tcp",
        "counterparty_identifier": "c1",
    })
    script = f"NAME = {name!r}\nENVELOPE = {envelope!r}\n" + HOLLOW_CHILD
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                           text=True, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    *outcomes, last = child.stdout.splitlines()
    assert last == "released"
    fault = f"PanicException {name} object holds no value: it was not created by qiv_protocol"
    assert [line.split("|")[1] for line in outcomes] == [fault] * len(outcomes), outcomes
    assert {line.split("|")[0] for line in outcomes} >= {"repr", "str"}
