"""No key or secret outlives its use: after loads in a child process, its readable memory
holds none of the keys the loads handled. The child gets keys only as files, never the
needles, and copies its memory out; so every hit is a leftover of the module."""
import base64
import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from support.vaults import Secret, VaultSpec, encrypt, write_vault

PLUGIN = Path(__file__).resolve().parents[1] / "plugin" / "age-plugin-vesktest"

# The child loads with the plugin (asking for a PIN), then with an age key, so that
# the age value's payload key is the last key derived; then a malformed SSH key fails.
CHILD = textwrap.dedent("""
    import ctypes, mmap, os, sys
    import vesk
    plugin_key, age_key, bad_ssh_key = sys.argv[1:]
    for path, want in ((plugin_key, "via plugin"), (age_key, "via age")):
        os.environ["VESK_KEY_FILE"] = path
        assert vesk.get("A") == want
    os.environ["VESK_KEY_FILE"] = bad_ssh_key
    try:
        vesk.load()
        sys.exit("a malformed SSH key was accepted")
    except RuntimeError as e:
        assert "invalid key" in str(e), e
    # One reusable buffer of its own mapping, left out of the copy.
    buf = mmap.mmap(-1, 1 << 20)
    view = memoryview(buf)
    own = ctypes.addressof(ctypes.c_char.from_buffer(buf))
    with open("/proc/self/maps") as f:
        maps = f.read().splitlines()
    mem = os.open("/proc/self/mem", os.O_RDONLY)
    for line in maps:
        fields = line.split()
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if "r" not in fields[1] or start <= own < end or line.endswith(("[vvar]", "[vsyscall]")):
            continue
        for at in range(start, end, len(buf)):
            try:
                n = os.preadv(mem, [view[:min(len(buf), end - at)]], at)
            except OSError:
                break
            done = 0
            while done < n:
                done += os.write(1, view[done:n])
""")


@pytest.fixture(scope="module")
def memory_after_loads(tmp_path_factory, keys):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("ASan maps terabytes of shadow memory; the plain build is scanned")
    d = tmp_path_factory.mktemp("leftovers")
    needles = {}
    # The PIN reaches the plugin and the pinentry only through a file; both run on this
    # interpreter, not on whatever `python3` is first on PATH.
    pin = base64.b32encode(os.urandom(15))
    needles["PIN"], needles["PIN (base64)"] = pin, base64.b64encode(pin).rstrip(b"=")
    (d / "pin").write_bytes(pin)
    (d / "bin").mkdir()
    for name, var, target in (("age-plugin-vesktest", "VESKTEST_PIN", PLUGIN),
                              ("pinentry", "VESKTEST_PINENTRY_ANSWER", PLUGIN.with_name("pinentry-vesktest"))):
        (d / "bin" / name).write_text(
            f'#!/bin/sh\n{var}=$(cat "{d / "pin"}") exec "{sys.executable}" "{target}" "$@"\n')
        (d / "bin" / name).chmod(0o755)
    path = f"{d / 'bin'}{os.pathsep}{os.environ['PATH']}"

    plugin_key = subprocess.run([PLUGIN, "--generate"], check=True, capture_output=True, text=True).stdout
    plugin, me = runpy.run_path(str(PLUGIN)), keys["me"][1]
    to_plugin = plugin_key.split(": ", 1)[1].split("\n", 1)[0]
    pad = plugin["pad_of"](plugin["bech32_decode"](to_plugin)[1])
    # Each value is also encrypted to the plugin, whose stanza gives away the file key.
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("PATH", path)
        values = {who: encrypt(f"via {who}", [me, to_plugin]) for who in ("age", "plugin")}
        spec = VaultSpec(recipients=[me, to_plugin], secrets={"A": Secret()})
        doc = spec.document()
        doc["secrets"]["A"]["scoped"] = {me: values["age"], to_plugin: values["plugin"]}
        (d / "work").mkdir()
        write_vault(d / "work" / ".vesk", spec, doc=doc)
    needles["MAC key"] = spec.mac_key
    for who, value in values.items():
        header, rest = base64.b64decode(value).split(b"\n--- ", 1)
        body = re.search(rb"^-> vesktest \S+\n(\S+)$", header, re.M)[1]
        file_key = plugin["xor"](base64.b64decode(body + b"=="), pad)
        nonce = rest.split(b"\n", 1)[1][:16]
        needles[f"file key ({who})"] = file_key
        needles[f"payload key ({who})"] = HKDF(hashes.SHA256(), 32, nonce, b"payload").derive(file_key)

    # A valid Ed25519 key with one stray "=" on its last base64 line.
    good = keys["ed25519"][0].read_bytes()
    lines = good.splitlines(keepends=True)
    lines[-2] = lines[-2].rstrip(b"\n") + b"=\n"
    needles["SSH seed (malformed key file)"] = serialization.load_ssh_private_key(good, None).private_bytes(
        serialization.Encoding.Raw, serialization.PrivateFormat.Raw, serialization.NoEncryption())
    for name, text in (("age.key", keys["me"][0].encode()), ("plugin.key", plugin_key.encode()),
                       ("bad_ssh", b"".join(lines))):
        (d / name).write_bytes(text)
        (d / name).chmod(0o600)

    # A module-scoped fixture runs outside the per-test isolation: the child gets its own.
    (d / "home").mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESK_") and k != "USERPROFILE"}
    env.update(PATH=path, HOME=str(d / "home"), VESKTEST_MODE="secret", PINENTRY_PROGRAM=str(d / "bin/pinentry"))
    child = subprocess.run([sys.executable, "-c", CHILD, str(d / "plugin.key"), str(d / "age.key"),
                            str(d / "bad_ssh")], cwd=d / "work", env=env, capture_output=True, timeout=60)
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    assert len(child.stdout) > 1 << 20
    return child.stdout, needles


def test_no_key_or_secret_is_left_in_memory(memory_after_loads):
    memory, needles = memory_after_loads
    # Each needle (all are whole 32-bit words) raw, and as a SHA-256 state holds it: each
    # big-endian digest word stored in host (little-endian) order.
    swapped = {what: b"".join(n[i:i + 4][::-1] for i in range(0, len(n), 4)) for what, n in needles.items()}
    found = {what: [memory.count(needle), memory.count(swapped[what])] for what, needle in needles.items()}
    assert len(found) == 8
    assert {what: n for what, n in found.items() if any(n)} == {}, "copies (raw, SHA-256 state words)"
