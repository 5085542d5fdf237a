"""Types of the qiv_protocol extension module.

Every class is final (none can be subclassed), every attribute is a read-only property, and
every method that returns a record returns a new object holding a copy. Text parameters take
`str` only and byte parameters `bytes` only (not bytearray or memoryview); a wrong type raises
TypeError "argument '<name>': '<type>' object cannot be cast as '<target>'".

A broken internal invariant raises `pyo3_runtime.PanicException`, which derives directly from
BaseException (so `except Exception` does not catch it) and cannot be imported; catch it with
`except BaseException` and tell it by `type(error).__name__ == "PanicException"`.
"""

import builtins
from collections.abc import Sequence
from datetime import datetime
from typing import Any, ClassVar, Literal, NoReturn, final

__all__ = [
    "__version__",
    "ProtocolAddress",
    "CounterpartyInfo",
    "SignedEnvelope",
    "AttestationChain",
    "PeerIdentityDescriptor",
    "SoftwareIdentity",
    "AnchorReceipt",
    "AnchorProof",
    "MockAnchor",
    "EnvelopeQueue",
    "QueuedItem",
    "classify_exchange",
]

__version__: str

# The closed sets of texts that getters return; private, as they exist for type checkers only.
_AddressClass = Literal[
    "body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"
]
_Direction = Literal["outbound", "inbound"]
_Surface = Literal["software", "os_keychain", "secure_element", "external_hardware", "threshold"]
_AnchorKind = Literal["open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local"]
_PairClass = Literal[
    "routing", "discovery", "enrichment", "causal", "marketplace", "trust", "compliance"
]

# Six classes cannot be called (TypeError at run time). Their `__new__` asks for one argument
# of the uninhabited type NoReturn, which no call can supply: mypy and pyright both refuse
# `SignedEnvelope()` as a call with too few arguments and `SignedEnvelope(x)` as an argument of
# the wrong type, while stubtest accepts it against the run-time `object.__new__`.

def classify_exchange(protocol_hint: str, counterparty: str) -> _PairClass:
    """Map `(protocol_hint, counterparty)` to the pair class the exchange is emitted as.

    Returns one of seven pair classes: routing, discovery, enrichment, causal, marketplace,
    trust, compliance. (The module's own docstring lists eleven names; composition,
    conductance, mediation and preference are never returned.) The counterparty is looked at
    first, for the host names of a few known services; otherwise the protocol hint decides.
    For two `str` arguments it raises only UnicodeEncodeError, for a lone surrogate.
    """

@final
class ProtocolAddress:
    """A `tvq://<class>/<type>/<ref>` address; immutable, compared and hashed by value.

    The hash is the same in every process (it does not depend on PYTHONHASHSEED).
    """

    def __new__(cls, address_class: str, type_: str, ref_: str) -> ProtocolAddress:
        """Raises ValueError "unknown address class: <address_class> (expected one of: body,
        act, datum, prop, discard, pair, doc, evidence, route, mediation)". `type_` and
        `ref_` are taken unchecked."""
    @staticmethod
    def parse(uri: str) -> ProtocolAddress:
        """Parse a canonical `tvq://<class>/<type>/<ref>` URI.

        Raises ValueError "invalid tvq:// URI: <uri>". Everything after the third "/" is the
        ref, so `parse("tvq://act/x/y/z").ref == "y/z"`.
        """
    def to_uri(self) -> str:
        """The URI text, "tvq://<class>/<type>/<ref>" (also `str(address)`)."""
    def to_dict(self) -> dict[str, str]:
        """A dict with the keys "class", "type" and "ref", in that order."""
    @property
    def address_class(self) -> _AddressClass: ...
    @property
    def type(self) -> str: ...
    @property
    def ref(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class CounterpartyInfo:
    """Everything known about the other end of an exchange; free-form metadata.

    Nothing joins it to a `SignedEnvelope` (the module's own docstring says it travels with
    one): no envelope method takes or returns it, and the queue does not keep it.

    Compared by value, unhashable. None for an optional field means absent (and differs
    from the empty text).
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(
        cls,
        identifier: str,
        protocol_hint: str,
        peer_address: str | None = None,
        counterparty_signature: str | None = None,
    ) -> CounterpartyInfo: ...
    def to_dict(self) -> dict[str, Any]:
        """The four fields in order; None for an absent optional field."""
    @property
    def identifier(self) -> str: ...
    @property
    def protocol_hint(self) -> str: ...
    @property
    def peer_address(self) -> str | None: ...
    @property
    def counterparty_signature(self) -> str | None: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class SignedEnvelope:
    """Wire record of one completed exchange; made by `from_json`, `from_dict` or as a queued
    item's `envelope`, never by calling the class (TypeError).

    The module neither makes nor checks `our_signature`, a text carried as it is; signatures
    over `canonical_signing_bytes()` are checked with `PeerIdentityDescriptor.verify` and made
    with `SoftwareIdentity.sign`. Compared by value (timestamps to the nanosecond), unhashable.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _not_callable: NoReturn, /) -> SignedEnvelope: ...
    @staticmethod
    def from_json(s: str) -> SignedEnvelope:
        """Parse a JSON wire envelope: the form `to_json` writes, keys in any order, or an array
        of the twelve values in the order of `to_json`'s keys. Unknown keys are skipped; a
        repeated key is refused ("duplicate field `<key>`").

        Raises ValueError "invalid SignedEnvelope JSON: <error> at line <l> column <c>". No
        signature is checked here: use `PeerIdentityDescriptor.verify` on
        `canonical_signing_bytes()`.
        """
    def to_json(self) -> str:
        """Compact JSON text; timestamps in full (RFC 3339, up to nine fraction digits)."""
    def canonical_signing_bytes(self) -> bytes:
        """The bytes an Ed25519 signature covers, made by this module: the compact JSON array
        `[exchange_id, request_hash, response_hash or null]` in UTF-8."""
    def to_dict(self) -> dict[str, Any]:
        """`json.loads(self.to_json())`: timestamps are RFC 3339 text there, not datetime."""
    @staticmethod
    def from_dict(d: dict[str, Any]) -> SignedEnvelope:
        """`from_json(json.dumps(d))`; raises as `from_json`, and TypeError when `d` is not a
        dict."""
    @property
    def exchange_id(self) -> str: ...
    @property
    def peer_self(self) -> ProtocolAddress: ...
    @property
    def peer_counterparty(self) -> ProtocolAddress | None: ...
    @property
    def direction(self) -> _Direction: ...
    @property
    def request_hash(self) -> str: ...
    @property
    def response_hash(self) -> str | None: ...
    @property
    def counterparty_signature(self) -> str | None: ...
    @property
    def our_signature(self) -> str: ...
    @property
    def opened_at(self) -> datetime:
        """Timezone-aware, in UTC; nanoseconds truncated to microseconds. A leap second reads
        as second 59 with a UserWarning. A year outside 1..9999 raises ValueError."""
    @property
    def closed_at(self) -> datetime | None:
        """As `opened_at`, or None when absent."""
    @property
    def protocol_hint(self) -> str: ...
    @property
    def counterparty_identifier(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class AttestationChain:
    """Hardware attestation chain: base64 certificates and a vendor; empty for software
    identities. Compared by value, unhashable."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, certs_b64: Sequence[str] = ..., vendor: str = ...) -> AttestationChain:
        """`certs_b64` defaults to no certificate and `vendor` to the empty text; a `str` for
        `certs_b64` raises TypeError "argument 'certs_b64': Can't extract `str` to `Vec`"."""
    def is_empty(self) -> bool:
        """True when there is no certificate (the vendor is not looked at)."""
    @property
    def certs_b64(self) -> builtins.list[str]:
        """A new list on every access; changing it leaves the chain unchanged."""
    @property
    def vendor(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class PeerIdentityDescriptor:
    """Public, serialisable view of a peer's identity; verifies signatures made with its key.

    It signs nothing; key generation and signing are `SoftwareIdentity`'s (the module's own
    docstring says Python is not given them). Made by `from_json`, `from_dict` or
    `SoftwareIdentity.descriptor()`. Compared by value, unhashable.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _not_callable: NoReturn, /) -> PeerIdentityDescriptor: ...
    @staticmethod
    def from_json(s: str) -> PeerIdentityDescriptor:
        """Raises ValueError "invalid PeerIdentityDescriptor JSON: <error> at line <l> column
        <c>"."""
    def to_json(self) -> str: ...
    @staticmethod
    def from_dict(d: dict[str, Any]) -> PeerIdentityDescriptor:
        """`from_json(json.dumps(d))`."""
    def to_dict(self) -> dict[str, Any]: ...
    @staticmethod
    def fingerprint_of(public_key_bytes: bytes) -> str:
        """Fingerprint of a raw 32-byte Ed25519 public key: 32 lowercase hex characters (the
        first 16 bytes of its SHA-256).

        Raises ValueError "public_key must be exactly 32 bytes" or "invalid Ed25519 public
        key bytes".
        """
    def verify(self, payload: bytes, signature_bytes: bytes) -> None:
        """Check an Ed25519 signature over `payload` with this descriptor's public key.

        Returns None on success; raises ValueError "signature verification failed:
        BadPublicKey" (the key does not decode) or "... BadSignature".
        """
    def address(self) -> ProtocolAddress:
        """`tvq://body/peer/<fingerprint>`."""
    @property
    def fingerprint(self) -> str: ...
    @property
    def public_key_b64(self) -> str:
        """Standard base64 without padding, 43 characters for the 32 key bytes (as held, not
        checked): `base64.b64decode(public_key_b64 + "=")` gives the bytes back."""
    @property
    def surface(self) -> _Surface: ...
    @property
    def tier(self) -> int:
        """0 (software) to 4 (threshold), in the order of the surfaces."""
    @property
    def hardware_attested(self) -> bool:
        """True for secure_element, external_hardware and threshold."""
    @property
    def attestation(self) -> AttestationChain: ...
    @property
    def created_at(self) -> str:
        """The creation time as text, not a datetime."""
    @property
    def superseded_by(self) -> ProtocolAddress | None: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class SoftwareIdentity:
    """An Ed25519 key pair held in process memory; its seed is wiped when the object is freed.

    Made by `generate()` or `from_seed()`, never by calling the class. `surface` and
    `hardware_attested` are properties (the module's own docstring writes them as calls).
    Compared and hashed by identity: two identities from one seed are not equal.
    """

    def __new__(cls, _not_callable: NoReturn, /) -> SoftwareIdentity: ...
    @staticmethod
    def generate() -> SoftwareIdentity:
        """A fresh key pair from the operating system's random source."""
    @staticmethod
    def from_seed(seed: bytes) -> SoftwareIdentity:
        """The key pair of a 32-byte seed; raises ValueError "seed must be exactly 32 bytes"."""
    def sign(self, payload: bytes) -> bytes:
        """The 64-byte Ed25519 signature of `payload` (any length)."""
    def descriptor(self) -> PeerIdentityDescriptor:
        """The public descriptor, surface "software", created_at "2026-04-15T00:00:00Z"."""
    def secret_bytes(self) -> bytes:
        """A copy of the 32-byte secret seed; the module never wipes this copy."""
    @property
    def fingerprint(self) -> str: ...
    @property
    def surface(self) -> Literal["software"]: ...
    @property
    def hardware_attested(self) -> bool:
        """Always False."""

@final
class AnchorReceipt:
    """Receipt of a Merkle root submitted to an anchor; persist it (as JSON) to verify later.

    A record only: it talks to no anchor, and this module's one anchor is the in-memory
    `MockAnchor`. Made by `from_json`, `from_dict` or `MockAnchor.submit`. Compared by value,
    unhashable.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _not_callable: NoReturn, /) -> AnchorReceipt: ...
    @staticmethod
    def from_json(s: str) -> AnchorReceipt:
        """Raises ValueError "invalid AnchorReceipt JSON: <error> at line <l> column <c>"."""
    def to_json(self) -> str: ...
    @staticmethod
    def from_dict(d: dict[str, Any]) -> AnchorReceipt:
        """`from_json(json.dumps(d))`."""
    def to_dict(self) -> dict[str, Any]: ...
    @property
    def anchor_id(self) -> str: ...
    @property
    def anchor_kind(self) -> _AnchorKind: ...
    @property
    def merkle_root_hex(self) -> str: ...
    @property
    def submission_ref(self) -> str: ...
    @property
    def submitted_at(self) -> str: ...
    @property
    def expected_finality_at(self) -> str: ...
    @property
    def proof_b64(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class AnchorProof:
    """Result of verifying an `AnchorReceipt`; `confirmed` False means finality is pending.

    Made by `from_json`, `from_dict` or `MockAnchor.verify`. Compared by value, unhashable.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _not_callable: NoReturn, /) -> AnchorProof: ...
    @staticmethod
    def from_json(s: str) -> AnchorProof:
        """Raises ValueError "invalid AnchorProof JSON: <error> at line <l> column <c>"."""
    def to_json(self) -> str: ...
    @staticmethod
    def from_dict(d: dict[str, Any]) -> AnchorProof:
        """`from_json(json.dumps(d))`."""
    def to_dict(self) -> dict[str, Any]: ...
    @property
    def anchor_id(self) -> str: ...
    @property
    def anchor_kind(self) -> _AnchorKind: ...
    @property
    def merkle_root_hex(self) -> str: ...
    @property
    def confirmed(self) -> bool: ...
    @property
    def authoritative_time(self) -> str: ...
    @property
    def detail(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class MockAnchor:
    """In-memory anchor for tests and local development: instant finality, remembers the roots
    it was given. Not for production. Compared and hashed by identity.

    `submit` and `verify` block and keep the interpreter lock for the whole call.
    """

    def __new__(cls, id: str) -> MockAnchor: ...
    def submit(self, merkle_root: bytes) -> AnchorReceipt:
        """Submit a 32-byte Merkle root and return its receipt, whose `submitted_at` and
        `expected_finality_at` are both the fixed "2026-04-15T09:00:00Z".

        Raises ValueError "merkle_root must be exactly 32 bytes", or ValueError "anchor
        already submitted: <root hex>" for a root this anchor already holds.
        """
    def verify(self, receipt: AnchorReceipt) -> AnchorProof:
        """Verify a receipt of a root submitted to this anchor; the proof is confirmed, names
        this anchor, and copies the receipt's `submitted_at` as its `authoritative_time`. Only
        the root and `submitted_at` are read: the receipt's `anchor_id` is not compared.

        Raises KeyError "anchor not found: <merkle_root_hex>" for a well-formed root this
        anchor never received (not ValueError, as the module's own docstring says), and
        ValueError "anchor bad response: <reason>" for a root text that is no 64-digit hex.
        """
    @property
    def id(self) -> str: ...
    @property
    def kind(self) -> Literal["local"]: ...
    @property
    def cost_usd_per_submission(self) -> float: ...
    @property
    def finality_seconds(self) -> int: ...

@final
class EnvelopeQueue:
    """File-backed envelope spill queue: one JSON file per item in `dir`.

    `dir` is a `str` (pass a pathlib.Path as `str(path)`), kept as given; nothing on disk is
    touched until the first call. `push`, `list` and `drop_item` block and keep the
    interpreter lock for the whole call. Compared and hashed by identity.
    """

    def __new__(cls, dir: str) -> EnvelopeQueue: ...
    @staticmethod
    def default() -> EnvelopeQueue:
        """The queue in `$HOME/.tolvan/envelope-queue` (`.envelope-queue` when HOME is
        unset)."""
    def push(self, pair_class: str, envelope: SignedEnvelope) -> None:
        """Write the envelope as the item `envelope.exchange_id`, replacing an earlier item of
        the same file name (ids that sanitise alike share one); creates the directory with its
        parents when missing. The item goes to a temporary file renamed over the old one, so
        the directory must be writable.

        Raises ValueError 'queue id "<id>" has no character usable in a file name: ...' for an
        id without an ASCII letter, digit, "-" or "_", and OSError "queue I/O error at <path>:
        <error>" (exactly OSError, errno None).
        """
    def list(self) -> builtins.list[QueuedItem]:
        """Every item, in byte order of the item file names (not by any UUIDv7 prefix, as
        the module's own docstring says); an empty list when the directory is missing.

        Raises OSError "queue I/O error at <path>: <error>", or ValueError "queue JSON error:
        <error>" when an item file does not parse (and then returns no item at all), with the
        note "queue item file: <path>". An entry that vanishes while the queue is read (another
        drainer dropped it) is skipped.
        """
    def drop_item(self, queue_id: str) -> None:
        """Remove the item's file; None also when there was none or another process removed
        it meanwhile. Raises OSError as `list`."""
    @property
    def dir(self) -> str: ...

@final
class QueuedItem:
    """One spilled record, as `EnvelopeQueue.list()` returns it. Compared and hashed by
    identity."""

    def __new__(cls, _not_callable: NoReturn, /) -> QueuedItem: ...
    @property
    def queue_id(self) -> str: ...
    @property
    def pair_class(self) -> str:
        """The text given to `push` (any text, not only a `_PairClass`)."""
    @property
    def envelope(self) -> SignedEnvelope:
        """A new copy on every access."""
