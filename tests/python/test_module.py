"""The module object: attributes, __all__, caching and the single-interpreter rule."""
import importlib
import pathlib
import sys

import pytest

import qiv_protocol

ALL_NAMES = [
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


def test_version_and_doc():
    assert type(qiv_protocol.__version__) is str
    assert qiv_protocol.__version__ == "0.1.0"
    assert type(qiv_protocol.__doc__) is str
    assert qiv_protocol.__doc__ == ""


def test_all_lists_registered_names_in_order():
    assert type(qiv_protocol.__all__) is list
    assert qiv_protocol.__all__ == ALL_NAMES
    for name in qiv_protocol.__all__:
        assert hasattr(qiv_protocol, name)


def test_registered_classes_are_types_of_the_module():
    for name in ALL_NAMES[1:-1]:
        cls = getattr(qiv_protocol, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "qiv_protocol"
        assert cls.__name__ == name
        assert cls.__qualname__ == name


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("qiv_protocol")
    try:
        again = importlib.import_module("qiv_protocol")
        assert again is first
        assert again.__all__ == ALL_NAMES
        assert again.classify_exchange is first.classify_exchange
    finally:
        sys.modules["qiv_protocol"] = first


def _subinterpreter_runner():
    """A function running source code in a new legacy-mode subinterpreter, or None."""
    if sys.version_info >= (3, 13):
        try:
            import _interpreters as interpreters
        except ImportError:
            return None

        def run(code):
            interp = interpreters.create(interpreters.new_config("legacy"))
            try:
                failure = interpreters.run_string(interp, code)
                assert failure is None, failure
            finally:
                interpreters.destroy(interp)

        return run
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        return None

    def run(code):
        if sys.version_info >= (3, 12):
            interp = interpreters.create(isolated=False)
        else:
            interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)

    return run


def test_import_from_a_subinterpreter_fails(tmp_path):
    run = _subinterpreter_runner()
    if run is None:
        pytest.skip("this interpreter offers no subinterpreters")
    module_dir = pathlib.Path(qiv_protocol.__file__).parent
    out = tmp_path / "result.txt"
    run(
        "import sys\n"
        f"sys.path.insert(0, {str(module_dir)!r})\n"
        "try:\n"
        "    import qiv_protocol\n"
        "    result = 'imported'\n"
        "except BaseException as e:\n"
        "    result = type(e).__name__ + ': ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    result = out.read_text()
    assert result.startswith("ImportError: ")
    assert "subinterpreters" in result
    # The owning interpreter keeps its module.
    assert sys.modules["qiv_protocol"] is qiv_protocol
    assert qiv_protocol.classify_exchange("dns", "") == "discovery"
