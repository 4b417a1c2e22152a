"""The module object: attributes, signatures, re-import, and the refusal of a second interpreter."""

import importlib
import importlib.metadata
import inspect
import sys

import pytest

import qelt_native


def test_public_attributes():
    assert qelt_native.__all__ == ["__version__", "apply_gates", "sample_topp"]
    # The build writes the version into the extension, the packaging into the metadata; both
    # take it from the one line in pyproject.toml.
    assert qelt_native.__version__ == importlib.metadata.version("qelt_native")
    assert qelt_native.__doc__ == ""
    assert not hasattr(qelt_native, "PanicException")


@pytest.mark.parametrize(
    "name, signature, doc_start",
    [
        ("apply_gates", "(psi, gates)", "Apply a gate list in place"),
        (
            "sample_topp",
            "(logits, temperature, top_p, top_k=0, seed=0)",
            "Sample one token id from a (V,) f32 logits vector.",
        ),
    ],
)
def test_function_signatures_and_docs(name, signature, doc_start):
    function = getattr(qelt_native, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "qelt_native"
    assert function.__self__ is qelt_native
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__.startswith(doc_start)


def test_reimport_returns_the_same_module_with_user_attributes():
    qelt_native.user_marker = 42
    try:
        del sys.modules["qelt_native"]
        again = importlib.import_module("qelt_native")
        assert again is qelt_native
        assert again.user_marker == 42
    finally:
        sys.modules["qelt_native"] = qelt_native
        del qelt_native.user_marker


def test_subinterpreter_import_is_refused(run_python):
    result = run_python(
        """
        import qelt_native, numpy as np
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
        try:
            # From 3.12 on an isolated subinterpreter refuses single-phase modules before their
            # init runs; a legacy one lets the module's own refusal show.
            sub = interpreters.create(isolated=False)
        except TypeError:
            sub = interpreters.create()
        code = (
            "try:\\n"
            "    import qelt_native\\n"
            "    raise SystemExit('imported')\\n"
            "except ImportError as error:\\n"
            "    assert 'do not yet support subinterpreters' in str(error), str(error)\\n"
        )
        interpreters.run_string(sub, code)
        interpreters.destroy(sub)
        psi = np.zeros((1, 2), np.complex64); psi[0, 0] = 1
        qelt_native.apply_gates(psi, [([0], np.array([[0, 1], [1, 0]], np.complex64))])
        assert psi[0, 1] == 1
        print("OK")
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "SKIP":
        pytest.skip("this interpreter has no subinterpreter module")
    assert result.stdout.strip() == "OK"
