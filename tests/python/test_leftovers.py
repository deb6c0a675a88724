"""No key or secret outlives its use: after loads in a child process, its whole
readable memory holds none of the keys the loads handled.

The child never learns what is searched for: it gets keys only as files and the
vault, loads, then copies its memory to standard output, and this process counts
the needles in that copy. So no copy made by the test itself can be found, and
every hit is a leftover of the module (or of the copying, which can only repeat
bytes that were already there).
"""
import base64
import hashlib
import hmac
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from support.vaults import Secret, VaultSpec, write_vault

PLUGIN_DIR = Path(__file__).resolve().parents[1] / "plugin"

# The child loads with the plugin (asking for a PIN), then with an age key, so that
# the age value's payload key is the last key derived; then a malformed SSH key fails.
CHILD = textwrap.dedent("""
    import ctypes, mmap, os, sys
    import vesk
    plugin_key, age_key, bad_ssh_key = sys.argv[1:]
    for path, want in ((plugin_key, "via plugin"), (age_key, "via age")):
        os.environ["VESK_KEY_FILE"] = path
        if vesk.get("A") != want:
            sys.exit("wrong value")
    os.environ["VESK_KEY_FILE"] = bad_ssh_key
    try:
        vesk.load()
        sys.exit("a malformed SSH key was accepted")
    except RuntimeError as e:
        if "invalid key" not in str(e):
            raise
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


def _plugin_module():
    loader = importlib.machinery.SourceFileLoader("vesktest_plugin", str(PLUGIN_DIR / "age-plugin-vesktest"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def _b64(data):
    return base64.b64encode(data).decode().rstrip("=")


def _hkdf(ikm, salt, info):
    return HKDF(hashes.SHA256(), 32, salt, info).derive(ikm)


def age_file(file_key, stanza, plaintext):
    """An age file with a chosen file key and one stanza (type and args, body);
    returns (base64 of the file, its payload key)."""
    (kind, *args), body = stanza
    text = "-> " + " ".join([kind, *args]) + "\n"
    encoded = _b64(body)
    text += "".join(encoded[i:i + 64] + "\n" for i in range(0, len(encoded), 64))
    if len(encoded) % 64 == 0:
        text += "\n"
    header = b"age-encryption.org/v1\n" + text.encode() + b"---"
    mac = hmac.new(_hkdf(file_key, b"", b"header"), header, hashlib.sha256).digest()
    nonce = os.urandom(16)
    payload_key = _hkdf(file_key, nonce, b"payload")
    chunk = ChaCha20Poly1305(payload_key).encrypt(bytes(11) + b"\x01", plaintext, None)
    data = header + b" " + _b64(mac).encode() + b"\n" + nonce + chunk
    return base64.b64encode(data).decode(), payload_key


def x25519_stanza(recipient_raw, file_key):
    eph = X25519PrivateKey.generate()
    share = eph.public_key().public_bytes_raw()
    wrap = _hkdf(eph.exchange(X25519PublicKey.from_public_bytes(recipient_raw)), share + recipient_raw,
                 b"age-encryption.org/v1/X25519")
    return ["X25519", _b64(share)], ChaCha20Poly1305(wrap).encrypt(bytes(12), file_key, None)


@pytest.fixture(scope="module")
def memory_after_loads(tmp_path_factory, keys):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("ASan maps terabytes of shadow memory; the plain build is scanned")
    d = tmp_path_factory.mktemp("leftovers")
    plugin = _plugin_module()
    needles = {}

    # An age identity made here, so that its raw public key is known.
    me = X25519PrivateKey.generate()
    me_raw = me.public_key().public_bytes_raw()
    (d / "age.key").write_text(plugin.bech32_encode("age-secret-key-", me.private_bytes_raw()).upper() + "\n")
    me_recipient = plugin.bech32_encode("age", me_raw)

    # The plugin's identity file; its stanza body is the file key under a pad of its secret.
    generated = subprocess.run([str(PLUGIN_DIR / "age-plugin-vesktest"), "--generate"], check=True,
                               capture_output=True, text=True).stdout
    (d / "plugin.key").write_text(generated)
    plugin_recipient = next(line.split(": ", 1)[1] for line in generated.splitlines()
                            if line.startswith("# Recipient: "))
    secret = plugin.bech32_decode(plugin_recipient)[1]

    fk_age, fk_plugin = os.urandom(16), os.urandom(16)
    by_age, needles["payload key (age)"] = age_file(fk_age, x25519_stanza(me_raw, fk_age), b"via age")
    by_plugin, needles["payload key (plugin)"] = age_file(
        fk_plugin, (["vesktest", plugin.tag_of(secret)], plugin.xor(fk_plugin, plugin.pad_of(secret))),
        b"via plugin")
    needles["file key (age)"], needles["file key (plugin)"] = fk_age, fk_plugin

    # A valid Ed25519 key with one stray "=" on its last base64 line.
    good = keys["ed25519"][0].read_bytes()
    lines = good.splitlines(keepends=True)
    lines[-2] = lines[-2].rstrip(b"\n") + b"=\n"
    (d / "bad_ssh").write_bytes(b"".join(lines))
    seed = serialization.load_ssh_private_key(good, None).private_bytes(
        serialization.Encoding.Raw, serialization.PrivateFormat.Raw, serialization.NoEncryption())
    needles["SSH seed (malformed key file)"] = seed

    # The PIN reaches the plugin and the pinentry only through a file.
    pin = base64.b32encode(os.urandom(15)).decode()
    needles["PIN"], needles["PIN (base64)"] = pin.encode(), _b64(pin.encode()).encode()
    (d / "pin").write_text(pin)
    bindir = d / "bin"
    bindir.mkdir()
    for name, var, target in (("age-plugin-vesktest", "VESKTEST_PIN", PLUGIN_DIR / "age-plugin-vesktest"),
                              ("pinentry", "VESKTEST_PINENTRY_ANSWER", PLUGIN_DIR / "pinentry-vesktest")):
        (bindir / name).write_text(f'#!/bin/sh\n{var}=$(cat "{d / "pin"}") exec "{target}" "$@"\n')
        (bindir / name).chmod(0o755)

    for key in ("age.key", "plugin.key", "bad_ssh"):
        (d / key).chmod(0o600)
    work = d / "work"
    work.mkdir()
    env = dict(os.environ, PATH=f"{bindir}{os.pathsep}{PLUGIN_DIR}{os.pathsep}{os.environ['PATH']}")
    spec = VaultSpec(recipients=[me_recipient, plugin_recipient], secrets={"A": Secret()})
    doc = spec.document()
    doc["secrets"]["A"]["scoped"] = {me_recipient: by_age, plugin_recipient: by_plugin}
    old_path = os.environ["PATH"]
    os.environ["PATH"] = env["PATH"]  # `age` encrypts the meta to the plugin too
    try:
        write_vault(work / ".vesk", spec, doc=doc)
    finally:
        os.environ["PATH"] = old_path

    # A module-scoped fixture runs outside the per-test isolation: the child gets its own.
    (d / "home").mkdir()
    env = {k: v for k, v in env.items() if not k.startswith("VESK_") and k != "USERPROFILE"}
    env.update(HOME=str(d / "home"), VESKTEST_MODE="secret", PINENTRY_PROGRAM=str(bindir / "pinentry"))
    child = subprocess.run([sys.executable, "-c", CHILD, str(d / "plugin.key"), str(d / "age.key"),
                            str(d / "bad_ssh")], cwd=work, env=env, capture_output=True, timeout=60)
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    assert len(child.stdout) > 1 << 20
    return child.stdout, needles


def _forms(needle):
    """The needle, and for whole 32-bit words the form a SHA-256 state holds:
    each big-endian digest word stored in host (little-endian) order."""
    forms = [needle]
    if len(needle) % 4 == 0:
        forms.append(b"".join(needle[i:i + 4][::-1] for i in range(0, len(needle), 4)))
    return forms


@pytest.mark.parametrize("what", [
    "payload key (age)",
    "file key (age)",
    "payload key (plugin)",
    "file key (plugin)",
    "SSH seed (malformed key file)",
    "PIN",
    "PIN (base64)",
])
def test_no_key_or_secret_is_left_in_memory(memory_after_loads, what):
    memory, needles = memory_after_loads
    found = [memory.count(form) for form in _forms(needles[what])]
    assert found == [0] * len(found), f"{what}: {found} copies (raw, SHA-256 state words)"
