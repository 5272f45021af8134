"""The one table of refusals: every use of it fills a real entry, and what the
producer reads keeps the product's French typography."""

import ast
import os
import string

from VantorelBridge import messages

PACKAGE = os.path.join(os.path.dirname(__file__), "..", "..", "resources", "VantorelBridge")


def _modules():
    for folder, _, files in os.walk(PACKAGE):
        for name in sorted(files):
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as handle:
                    yield os.path.relpath(path, PACKAGE), ast.parse(handle.read())


def _placeholders(template):
    return {field for _, field, _, _ in string.Formatter().parse(template) if field}


def test_every_refusal_names_an_entry_and_fills_exactly_its_placeholders():
    # A key or placeholder typo would only show as a 500 on the rare path
    # that raises it; check every call site against the table instead.
    calls = 0
    for module, tree in _modules():
        for node in ast.walk(tree):
            if not isinstance(node, ast.Call):
                continue
            name = getattr(node.func, "id", getattr(node.func, "attr", None))
            # Injected replies carry the words of the test that injects them.
            if name == "BridgeError" and module not in ("protocol.py", os.path.join("simulator", "faults.py")):
                raise AssertionError("%s:%d builds a refusal outside the table" % (module, node.lineno))
            if name not in ("refusal", "capture_failure") or module == "messages.py":
                continue
            key = node.args[0].value
            table = messages.REFUSALS if name == "refusal" else messages.CAPTURE_FAILURES
            assert key in table, "%s:%d: unknown refusal %r" % (module, node.lineno, key)
            template = table[key][2] if name == "refusal" else table[key]
            given = {keyword.arg for keyword in node.keywords}
            assert given == _placeholders(template), "%s:%d: %r" % (module, node.lineno, key)
            calls += 1
    assert calls >= len(messages.REFUSALS)


def test_messages_are_french_with_typographic_apostrophes_and_no_mac():
    texts = [template for _, _, template in messages.REFUSALS.values()]
    texts += list(messages.CAPTURE_FAILURES.values())
    for text in texts:
        assert "'" not in text, text
        assert "Mac" not in text and "macOS" not in text, text
        for english in (" the ", " must ", " does not ", " cannot "):
            assert english not in " %s " % text, text


def test_an_internal_fault_keeps_lives_own_words_for_the_apps_mappings(bridge, monkeypatch):
    def broken(*arguments):
        raise RuntimeError("Boost.Python: No registered converter for NPythonClip")

    monkeypatch.setattr(bridge.backend, "rename_track", broken)
    status, code, message = bridge.refused("POST", "/v1/tracks/rename",
                                           {"trackIndex": 0, "name": "X", "expectedRevision": bridge.revision,
                                            "confirm": True})
    assert (status, code) == (500, "INTERNAL_ERROR")
    assert "no registered converter" in message.lower() and message.startswith("VantorelBridge a échoué")
