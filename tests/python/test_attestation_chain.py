"""AttestationChain: constructor conversions, emptiness, copies, representation, equality."""
import pytest

from qiv_protocol import AttestationChain


def test_class_object():
    assert AttestationChain.__text_signature__ == "(certs_b64=..., vendor=...)"
    assert AttestationChain.__doc__ == (
        "Hardware attestation chain. Empty for software identities; non-empty\n"
        "for Secure Enclave / TPM / YubiKey / threshold identities."
    )
    with pytest.raises(TypeError):

        class Sub(AttestationChain):  # noqa: F841 - subclassing is refused
            pass


@pytest.mark.parametrize(
    "args, kwargs, certs, vendor, empty, rep",
    [
        ((), {}, [], "", True, 'AttestationChain(vendor="", certs=0)'),
        ((), {"vendor": "v"}, [], "v", True, 'AttestationChain(vendor="v", certs=0)'),
        ((["a"], "v"), {}, ["a"], "v", False, 'AttestationChain(vendor="v", certs=1)'),
        ((("a", "b"),), {"vendor": "acme"}, ["a", "b"], "acme", False,
         'AttestationChain(vendor="acme", certs=2)'),
        ((), {"certs_b64": ["x"], "vendor": 'q"\n'}, ["x"], 'q"\n', False,
         'AttestationChain(vendor="q\\"\\n", certs=1)'),
        ((["not base64 at all", ""],), {}, ["not base64 at all", ""], "", False,
         'AttestationChain(vendor="", certs=2)'),
    ],
)
def test_construction(args, kwargs, certs, vendor, empty, rep):
    chain = AttestationChain(*args, **kwargs)
    assert chain.certs_b64 == certs
    assert chain.vendor == vendor
    assert chain.is_empty() is empty
    assert repr(chain) == rep


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("abc",), {}, "argument 'certs_b64': Can't extract `str` to `Vec`"),
        ((None,), {}, "argument 'certs_b64': 'NoneType' object cannot be cast as 'Sequence'"),
        ((["a", 1],), {}, "argument 'certs_b64': 'int' object cannot be cast as 'str'"),
        (([], None), {}, "argument 'vendor': 'NoneType' object cannot be cast as 'str'"),
        (([], b"v"), {}, "argument 'vendor': 'bytes' object cannot be cast as 'str'"),
        # Both wrong: the list is converted first.
        ((5, 5), {}, "argument 'certs_b64': 'int' object cannot be cast as 'Sequence'"),
        (([], "v", 1), {},
         "AttestationChain.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        ((), {"vendr": "v"}, "AttestationChain.__new__() got an unexpected keyword argument 'vendr'"),
        (([],), {"certs_b64": []},
         "AttestationChain.__new__() got multiple values for argument 'certs_b64'"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        AttestationChain(*args, **kwargs)
    assert str(exc.value) == message


def test_getters_return_copies():
    chain = AttestationChain(["a"], "v")
    certs = chain.certs_b64
    certs.append("b")
    assert chain.certs_b64 == ["a"]
    assert chain.certs_b64 is not chain.certs_b64
    with pytest.raises(AttributeError):
        chain.vendor = "w"


def test_equality_by_value_and_unhashable():
    assert AttestationChain(["a"], "v") == AttestationChain(("a",), "v")
    assert not AttestationChain(["a"], "v") != AttestationChain(("a",), "v")
    assert AttestationChain(["a", "b"], "v") != AttestationChain(["b", "a"], "v")
    assert AttestationChain([], "v") != AttestationChain()
    assert AttestationChain() != "AttestationChain()"
    with pytest.raises(TypeError):
        hash(AttestationChain())
    with pytest.raises(TypeError):
        AttestationChain() < AttestationChain()


class LyingLength:
    """A sequence whose length is only a claim; iteration yields what it really holds."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "length",
    [2**57, 2**62, 10**12, RuntimeError("length unknown")],
    ids=["2**57", "2**62", "10**12", "raises"],
)
def test_length_is_only_a_hint(length):
    # The length sizes nothing that could fail: the items are what iteration yields.
    chain = AttestationChain(LyingLength(length, ["a", "b"]), "v")
    assert chain.certs_b64 == ["a", "b"]
