"""Invariants of the source tree that a reviewer would otherwise have to trust."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})


@pytest.mark.skipif(not SRC.is_dir(), reason="source tree not available")
@pytest.mark.parametrize(
    "pattern, allowed_dir, why",
    [
        (r"#include\s*<Python\.h>", "python", "only the binding may see Python"),
        (r"Py_BEGIN_ALLOW_THREADS|PyEval_SaveThread", None, "the module never releases the GIL"),
        (r"\bsystem\s*\(|\bpopen\s*\(|/bin/sh", None, "plugins start without a shell"),
    ],
)
def test_forbidden_constructs(pattern, allowed_dir, why):
    offenders = []
    for path in sources():
        if allowed_dir and path.parent.name == allowed_dir:
            continue
        text = path.read_text(encoding="utf-8")
        if re.search(pattern, text):
            offenders.append(str(path.relative_to(SRC)))
    assert not offenders, f"{why}: {offenders}"


# Where MACs are compared: through the constant-time call, never `==` on the bytes
# (only on their lengths, or on the call's result).
@pytest.mark.skipif(not SRC.is_dir(), reason="source tree not available")
@pytest.mark.parametrize("path, function, call", [("mac.cpp", "same_mac", "CRYPTO_memcmp("),
    ("age/primitives.cpp", "equal_ct", "CRYPTO_memcmp("), ("age/decrypt.cpp", "mac_matches", "equal_ct(")])
def test_macs_compare_in_constant_time(path, function, call):
    body = re.search(rf"\b{function}\(.*?\n}}", (SRC / path).read_text(encoding="utf-8"), re.S).group()
    assert call in body and all(a.endswith("size()") or b == "0;" for a, b in re.findall(r"(\S+) [!=]= (\S+)", body))
