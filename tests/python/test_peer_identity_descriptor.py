"""PeerIdentityDescriptor: JSON bridge, getters, fingerprints, verification edge cases."""
import base64
import hashlib
import json

import pytest

from qiv_protocol import AttestationChain, PeerIdentityDescriptor, ProtocolAddress, SoftwareIdentity

L = 2**252 + 27742317777372353535851937790883648493  # order of the base point
P = 2**255 - 19

SEED = bytes(range(32))
IDENTITY = SoftwareIdentity.from_seed(SEED)
DESCRIPTOR = IDENTITY.descriptor()
PAYLOAD = b"payload"
SIGNATURE = IDENTITY.sign(PAYLOAD)

# RFC 8032 section 7.1, TEST 1: its key text holds a "/", the empty message is signed.
RFC_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC_KEY_B64 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo"
RFC_SIGNATURE = bytes.fromhex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
    "f9b46bd25bf5f0595bbe24655141438e7a100b"
)
B64_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

MINIMAL = {"fingerprint": "f", "public_key_b64": "k", "surface": "software", "created_at": "t"}


def with_key(public_key_b64):
    return PeerIdentityDescriptor.from_dict({**MINIMAL, "public_key_b64": public_key_b64})


def key_text(raw):
    return base64.b64encode(raw).decode().rstrip("=")


def with_s(signature, s):
    return signature[:32] + s.to_bytes(32, "little")


def unused_bits_set(text):
    last = B64_ALPHABET.index(text[-1])
    assert last % 4 == 0
    return text[:-1] + B64_ALPHABET[last + 1]


def test_class_object():
    assert PeerIdentityDescriptor.__doc__.startswith("Public, serialisable view of a peer's identity.\n\n")
    assert PeerIdentityDescriptor.verify.__text_signature__ == "($self, payload, signature_bytes)"
    assert PeerIdentityDescriptor.fingerprint_of.__doc__ == (
        "Compute the canonical fingerprint for a raw Ed25519 public key.\n"
        "Returns 32 hex chars (16 bytes of `SHA256(pubkey)`)."
    )
    with pytest.raises(TypeError):
        PeerIdentityDescriptor()
    with pytest.raises(TypeError):
        hash(DESCRIPTOR)


# --- verification ------------------------------------------------------------------------------

KEY = DESCRIPTOR.public_key_b64
S = int.from_bytes(SIGNATURE[32:], "little")


@pytest.mark.parametrize(
    "public_key_b64, payload, signature, reason",
    [
        (KEY, PAYLOAD, SIGNATURE, None),
        (RFC_KEY_B64, b"", RFC_SIGNATURE, None),
        # Key texts: padded, short, non-zero unused bits, URL-safe, white space, empty, junk.
        (KEY + "=", PAYLOAD, SIGNATURE, "BadPublicKey"),
        (KEY[:42], PAYLOAD, SIGNATURE, "BadPublicKey"),
        (unused_bits_set(KEY), PAYLOAD, SIGNATURE, "BadPublicKey"),
        (RFC_KEY_B64.replace("/", "_"), b"", RFC_SIGNATURE, "BadPublicKey"),
        (KEY + "\n", PAYLOAD, SIGNATURE, "BadPublicKey"),
        (" " + KEY[1:], PAYLOAD, SIGNATURE, "BadPublicKey"),
        ("", PAYLOAD, SIGNATURE, "BadPublicKey"),
        ("k", PAYLOAD, SIGNATURE, "BadPublicKey"),
        (key_text((2).to_bytes(32, "little")), PAYLOAD, SIGNATURE, "BadPublicKey"),  # no point
        (key_text(bytes(33)), PAYLOAD, SIGNATURE, "BadPublicKey"),
        # Key failures come before signature failures.
        ("k", PAYLOAD, SIGNATURE[:63], "BadPublicKey"),
        (KEY[:42], PAYLOAD, b"", "BadPublicKey"),
        # Signatures: lengths, S not below L, S with bit 255 set, wrong payload.
        (KEY, PAYLOAD, b"", "BadSignature"),
        (KEY, PAYLOAD, SIGNATURE[:63], "BadSignature"),
        (KEY, PAYLOAD, SIGNATURE + b"\x00", "BadSignature"),
        (KEY, PAYLOAD, with_s(SIGNATURE, S + L), "BadSignature"),
        (KEY, PAYLOAD, with_s(SIGNATURE, S | (1 << 255)), "BadSignature"),
        (KEY, PAYLOAD + b"x", SIGNATURE, "BadSignature"),
        (KEY, b"", SIGNATURE, "BadSignature"),
    ],
)
def test_verify(public_key_b64, payload, signature, reason):
    descriptor = with_key(public_key_b64)
    if reason is None:
        assert descriptor.verify(payload, signature) is None
        assert descriptor.verify(payload=payload, signature_bytes=signature) is None
    else:
        with pytest.raises(ValueError) as exc:
            descriptor.verify(payload, signature)
        assert type(exc.value) is ValueError
        assert str(exc.value) == f"signature verification failed: {reason}"


def test_verify_accepts_small_order_keys_and_non_canonical_y():
    # The neutral element (y = 1): any payload verifies when R encodes [S]B; with S = 0 that
    # is the neutral element again.
    neutral = (1).to_bytes(32, "little")
    signature = neutral + bytes(32)
    for payload in (b"", b"anything"):
        assert with_key(key_text(neutral)).verify(payload, signature) is None
    # y + p names the same point; the fingerprint hashes the bytes as given.
    non_canonical = (1 + P).to_bytes(32, "little")
    assert with_key(key_text(non_canonical)).verify(b"x", signature) is None
    assert PeerIdentityDescriptor.fingerprint_of(non_canonical) != PeerIdentityDescriptor.fingerprint_of(neutral)


@pytest.mark.parametrize(
    "args, message",
    [
        ((bytearray(PAYLOAD), SIGNATURE), "argument 'payload': 'bytearray' object cannot be cast as 'bytes'"),
        (("payload", SIGNATURE), "argument 'payload': 'str' object cannot be cast as 'bytes'"),
        ((PAYLOAD, bytearray(SIGNATURE)),
         "argument 'signature_bytes': 'bytearray' object cannot be cast as 'bytes'"),
        ((PAYLOAD, None), "argument 'signature_bytes': 'NoneType' object cannot be cast as 'bytes'"),
        ((PAYLOAD,), "PeerIdentityDescriptor.verify() missing 1 required positional argument: 'signature_bytes'"),
    ],
)
def test_verify_argument_errors_come_before_verification(args, message):
    for descriptor in (DESCRIPTOR, with_key("k")):
        with pytest.raises(TypeError) as exc:
            descriptor.verify(*args)
        assert str(exc.value) == message


# --- fingerprint_of ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, error",
    [
        (bytes(31), (ValueError, "public_key must be exactly 32 bytes")),
        (bytes(33), (ValueError, "public_key must be exactly 32 bytes")),
        (b"", (ValueError, "public_key must be exactly 32 bytes")),
        ((2).to_bytes(32, "little"), (ValueError, "invalid Ed25519 public key bytes")),
        (bytearray(32), (TypeError, "argument 'public_key_bytes': 'bytearray' object cannot be cast as 'bytes'")),
        ("k" * 32, (TypeError, "argument 'public_key_bytes': 'str' object cannot be cast as 'bytes'")),
    ],
)
def test_fingerprint_of_errors(key, error):
    exc_type, message = error
    with pytest.raises(exc_type) as exc:
        PeerIdentityDescriptor.fingerprint_of(key)
    assert type(exc.value) is exc_type
    assert str(exc.value) == message


def test_fingerprint_of_is_the_hash_prefix():
    raw = base64.b64decode(DESCRIPTOR.public_key_b64 + "=")
    assert PeerIdentityDescriptor.fingerprint_of(raw) == DESCRIPTOR.fingerprint
    assert PeerIdentityDescriptor.fingerprint_of(public_key_bytes=raw) == hashlib.sha256(raw).hexdigest()[:32]
    # The neutral element is a valid key; its digest starts with a byte below 16.
    neutral = (1).to_bytes(32, "little")
    assert PeerIdentityDescriptor.fingerprint_of(neutral) == hashlib.sha256(neutral).hexdigest()[:32]


# --- JSON bridge -------------------------------------------------------------------------------


def test_identity_descriptor_json_forms():
    text = DESCRIPTOR.to_json()
    assert text == (
        f'{{"fingerprint":"{DESCRIPTOR.fingerprint}","public_key_b64":"{DESCRIPTOR.public_key_b64}",'
        '"surface":"software","created_at":"2026-04-15T00:00:00Z"}'
    )
    as_dict = DESCRIPTOR.to_dict()
    assert list(as_dict) == ["fingerprint", "public_key_b64", "surface", "created_at"]
    assert PeerIdentityDescriptor.from_dict(as_dict) == DESCRIPTOR
    assert PeerIdentityDescriptor.from_json(text) == DESCRIPTOR
    assert PeerIdentityDescriptor.from_json(s=text) == DESCRIPTOR


def test_chain_and_successor_round_trip():
    full = {
        **MINIMAL,
        "surface": "secure_element",
        "attestation": {"certs_b64": ["c1", "c2"], "vendor": "acme"},
        "superseded_by": {"class": "body", "type": "peer", "ref": "next"},
    }
    d = PeerIdentityDescriptor.from_dict(full)
    assert list(d.to_dict()) == ["fingerprint", "public_key_b64", "surface", "attestation", "created_at",
                                 "superseded_by"]
    assert d.to_dict() == full
    assert d.attestation == AttestationChain(["c1", "c2"], "acme")
    assert d.attestation is not d.attestation
    assert d.superseded_by == ProtocolAddress("body", "peer", "next")
    assert d.superseded_by is not d.superseded_by
    assert PeerIdentityDescriptor.from_json(d.to_json()) == d
    # A chain without certificates is left out, whatever its vendor: it reads back empty.
    vendor_only = PeerIdentityDescriptor.from_dict({**MINIMAL, "attestation": {"certs_b64": [], "vendor": "v"}})
    assert vendor_only.attestation == AttestationChain([], "v")
    assert "attestation" not in vendor_only.to_dict()
    assert PeerIdentityDescriptor.from_json(vendor_only.to_json()) != vendor_only


@pytest.mark.parametrize(
    "surface, tier, hardware",
    [
        ("software", 0, False),
        ("os_keychain", 1, False),
        ("secure_element", 2, True),
        ("external_hardware", 3, True),
        ("threshold", 4, True),
    ],
)
def test_surface_getters(surface, tier, hardware):
    d = PeerIdentityDescriptor.from_dict({**MINIMAL, "surface": surface})
    assert (d.surface, d.tier, d.hardware_attested) == (surface, tier, hardware)
    assert repr(d) == f'PeerIdentityDescriptor(fingerprint="f", surface="{surface}", tier={tier})'


def test_fields_are_taken_as_read():
    d = PeerIdentityDescriptor.from_json(
        '{"fingerprint":"AB/cd","public_key_b64":"k","surface":{"threshold":null},"created_at":"not a time",'
        '"superseded_by":null,"tier":9}'
    )
    assert (d.fingerprint, d.public_key_b64, d.created_at) == ("AB/cd", "k", "not a time")
    assert d.superseded_by is None
    assert d.attestation == AttestationChain()
    address = d.address()
    assert isinstance(address, ProtocolAddress)
    assert str(address) == "tvq://body/peer/AB/cd"
    assert str(DESCRIPTOR.address()) == "tvq://body/peer/" + DESCRIPTOR.fingerprint
    assert repr(PeerIdentityDescriptor.from_dict({**MINIMAL, "fingerprint": 'a"\n'})) == (
        'PeerIdentityDescriptor(fingerprint="a\\"\\n", surface="software", tier=0)'
    )
    assert PeerIdentityDescriptor.from_dict({**MINIMAL, "fingerprint": "F"}) != PeerIdentityDescriptor.from_dict(
        {**MINIMAL, "fingerprint": "f"}
    )
    assert PeerIdentityDescriptor.from_json('["f","k","software",{"certs_b64":[],"vendor":""},"t",null]') == (
        PeerIdentityDescriptor.from_dict(MINIMAL)
    )


NAMES = "one of `software`, `os_keychain`, `secure_element`, `external_hardware`, `threshold`"


@pytest.mark.parametrize(
    "text, error",
    [
        ('{"public_key_b64":"k","surface":"software"}', "missing field `fingerprint` at line 1 column 43"),
        ('{"fingerprint":"f","public_key_b64":"k","surface":"Software","created_at":"t"}',
         f"unknown variant `Software`, expected {NAMES} at line 1 column 60"),
        ('{"fingerprint":"f","public_key_b64":"k","surface":2,"created_at":"t"}', "expected value at line 1 column 51"),
        ('["f","k","software"]', "invalid length 4, expected struct PeerIdentityDescriptor with 6 elements at line 1 column 20"),
        ('["f","k","software",[[],""],"t"]',
         "invalid length 5, expected struct PeerIdentityDescriptor with 6 elements at line 1 column 32"),
        ('["f","k","software",[[],""],"t",null,1]', "trailing characters at line 1 column 38"),
        ("", "EOF while parsing a value at line 1 column 0"),
    ],
)
def test_from_json_errors(text, error):
    with pytest.raises(ValueError) as exc:
        PeerIdentityDescriptor.from_json(text)
    assert type(exc.value) is ValueError
    assert str(exc.value) == "invalid PeerIdentityDescriptor JSON: " + error


def test_from_dict_errors():
    with pytest.raises(ValueError) as exc:
        PeerIdentityDescriptor.from_dict({**MINIMAL, "attestation": None})
    assert str(exc.value) == (
        "invalid PeerIdentityDescriptor JSON: invalid type: null, expected struct AttestationChain "
        "at line 1 column 105"
    )
    assert PeerIdentityDescriptor.from_dict({**MINIMAL, "superseded_by": None}).superseded_by is None
    with pytest.raises(TypeError) as exc:
        PeerIdentityDescriptor.from_dict(json.dumps(MINIMAL))
    assert str(exc.value) == "argument 'd': 'str' object cannot be cast as 'dict'"
    with pytest.raises(TypeError) as exc:
        PeerIdentityDescriptor.from_json(b"{}")
    assert str(exc.value) == "argument 's': 'bytes' object cannot be cast as 'str'"
    # Failures of the host's json module pass through unchanged.
    with pytest.raises(TypeError):
        PeerIdentityDescriptor.from_dict({**MINIMAL, "created_at": object()})
