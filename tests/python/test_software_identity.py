"""SoftwareIdentity: construction, signing, descriptor, seed access and the class surface."""
import base64
import hashlib
import re

import pytest

import qiv_protocol
from qiv_protocol import PeerIdentityDescriptor, SoftwareIdentity

# RFC 8032 section 7.1, TEST 1 (empty message) and TEST 2 (one byte).
RFC_VECTORS = [
    (
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
        "f9b46bd25bf5f0595bbe24655141438e7a100b",
    ),
    (
        "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
        "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0"
        "f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    ),
]

SEED = bytes(range(32))


def b64(data):
    return base64.b64encode(data).decode().rstrip("=")


@pytest.mark.parametrize("seed, public_key, message, signature", RFC_VECTORS)
def test_rfc8032_vectors(seed, public_key, message, signature):
    identity = SoftwareIdentity.from_seed(bytes.fromhex(seed))
    descriptor = identity.descriptor()
    assert descriptor.public_key_b64 == b64(bytes.fromhex(public_key))
    assert identity.sign(bytes.fromhex(message)) == bytes.fromhex(signature)
    assert descriptor.verify(bytes.fromhex(message), bytes.fromhex(signature)) is None
    assert identity.fingerprint == hashlib.sha256(bytes.fromhex(public_key)).hexdigest()[:32]


def test_class_object():
    assert SoftwareIdentity.__doc__ == (
        "Tier-0 Ed25519 identity. Keypair lives in Python process memory.\n\n"
        '`surface() == "software"` and `hardware_attested() == False` by\n'
        "construction \u2014 substrate adjudicators read these properties when\n"
        "deciding what this identity is allowed to sign."
    )
    assert SoftwareIdentity.from_seed.__text_signature__ == "(seed)"
    assert SoftwareIdentity.sign.__text_signature__ == "($self, payload)"
    assert SoftwareIdentity.generate.__doc__ == "Generate a fresh keypair via the OS RNG."
    with pytest.raises(TypeError):
        SoftwareIdentity()
    with pytest.raises(TypeError):
        SoftwareIdentity.generate(1)
    with pytest.raises(TypeError):

        class Sub(SoftwareIdentity):  # noqa: F841 - subclassing is refused
            pass


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: SoftwareIdentity.from_seed(bytes(31)), ValueError, "seed must be exactly 32 bytes"),
        (lambda: SoftwareIdentity.from_seed(bytes(33)), ValueError, "seed must be exactly 32 bytes"),
        (lambda: SoftwareIdentity.from_seed(b""), ValueError, "seed must be exactly 32 bytes"),
        (lambda: SoftwareIdentity.from_seed(bytearray(32)), TypeError,
         "argument 'seed': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed("a" * 32), TypeError,
         "argument 'seed': 'str' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed(memoryview(bytes(32))), TypeError,
         "argument 'seed': 'memoryview' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed(None), TypeError,
         "argument 'seed': 'NoneType' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed(), TypeError,
         "SoftwareIdentity.from_seed() missing 1 required positional argument: 'seed'"),
        (lambda: SoftwareIdentity.from_seed(SEED).sign(bytearray(b"p")), TypeError,
         "argument 'payload': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed(SEED).sign("p"), TypeError,
         "argument 'payload': 'str' object cannot be cast as 'bytes'"),
        (lambda: SoftwareIdentity.from_seed(SEED).sign(b"p", b"q"), TypeError,
         "SoftwareIdentity.sign() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_errors(call, exc_type, message):
    with pytest.raises(exc_type) as exc:
        call()
    assert type(exc.value) is exc_type
    assert str(exc.value) == message


def test_no_argument_methods_refuse_arguments():
    identity = SoftwareIdentity.from_seed(SEED)
    for method in (identity.descriptor, identity.secret_bytes):
        with pytest.raises(TypeError):
            method(1)


class BytesSub(bytes):
    pass


def test_same_seed_same_keys_but_distinct_objects():
    a = SoftwareIdentity.from_seed(SEED)
    b = SoftwareIdentity.from_seed(seed=BytesSub(SEED))
    assert a.secret_bytes() == SEED
    assert a.fingerprint == b.fingerprint
    assert a.descriptor() == b.descriptor()
    for payload in (b"", b"x", bytes(1000)):
        assert a.sign(payload) == b.sign(payload=BytesSub(payload))
    assert a != b
    assert not a == b
    assert len({a, b}) == 2
    assert SoftwareIdentity.from_seed(a.secret_bytes()).fingerprint == a.fingerprint


def test_zero_seed_is_valid():
    identity = SoftwareIdentity.from_seed(bytes(32))
    signature = identity.sign(b"m")
    identity.descriptor().verify(b"m", signature)


def test_generate_draws_fresh_seeds():
    a, b = SoftwareIdentity.generate(), SoftwareIdentity.generate()
    assert len(a.secret_bytes()) == 32
    assert a.secret_bytes() != b.secret_bytes()
    assert a.fingerprint != b.fingerprint
    for identity in (a, b):
        assert identity.descriptor().created_at == "2026-04-15T00:00:00Z"


def test_signatures_verify_against_the_descriptor():
    identity = SoftwareIdentity.from_seed(SEED)
    descriptor = identity.descriptor()
    for payload in (b"", b"payload", bytes(range(256)) * 3):
        signature = identity.sign(payload)
        assert type(signature) is bytes and len(signature) == 64
        assert descriptor.verify(payload, signature) is None
        for bad_payload, bad_signature in ((payload, signature[:63]), (payload + b"x", signature)):
            with pytest.raises(ValueError) as exc:
                descriptor.verify(bad_payload, bad_signature)
            assert str(exc.value) == "signature verification failed: BadSignature"


def test_descriptor_and_derived_getters():
    identity = SoftwareIdentity.from_seed(SEED)
    descriptor = identity.descriptor()
    assert isinstance(descriptor, PeerIdentityDescriptor)
    assert descriptor is not identity.descriptor()
    assert re.fullmatch("[0-9a-f]{32}", identity.fingerprint)
    assert identity.fingerprint == descriptor.fingerprint
    assert len(descriptor.public_key_b64) == 43 and "=" not in descriptor.public_key_b64
    assert (descriptor.surface, descriptor.tier, descriptor.hardware_attested) == ("software", 0, False)
    assert descriptor.created_at == "2026-04-15T00:00:00Z"
    assert descriptor.attestation.is_empty()
    assert identity.surface == "software"
    assert identity.hardware_attested is False
    for name in ("surface", "hardware_attested", "fingerprint"):
        with pytest.raises(AttributeError):
            setattr(identity, name, "x")
    assert repr(identity) == f'SoftwareIdentity(fingerprint="{identity.fingerprint}", surface="software")'
    assert str(identity) == repr(identity)


def test_secret_bytes_is_a_fresh_copy():
    identity = SoftwareIdentity.from_seed(SEED)
    first = identity.secret_bytes()
    assert type(first) is bytes and first == SEED
    assert first is not identity.secret_bytes()


def test_registered_in_module():
    assert qiv_protocol.SoftwareIdentity.__module__ == "qiv_protocol"


# --- seed wipe -------------------------------------------------------------------------------
# _qiv_identity_probe wraps the identity value with the module's own class traits and release
# path, and snapshots each object's storage as it goes back to the interpreter.


def test_release_wipes_the_seed_but_not_the_public_key(identity_probe):
    import gc

    probe = identity_probe
    seed = bytes(range(100, 132))
    public_key = base64.b64decode(SoftwareIdentity.from_seed(seed).descriptor().public_key_b64 + "=")
    identity = probe.SoftwareIdentity.from_seed(seed)
    live = probe.storage(identity)
    assert seed in live and public_key in live
    del identity
    gc.collect()
    released = probe.released_storage()
    assert len(released) == len(live)
    assert seed not in released
    assert bytes(32) in released
    assert public_key in released


def test_failed_allocation_raises_its_memory_error(identity_probe):
    with pytest.raises(MemoryError):
        identity_probe.from_seed_into_failing_type(SEED)
