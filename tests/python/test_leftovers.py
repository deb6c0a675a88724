"""No key or secret outlives its use: after loads in a child process, its readable memory
holds none of the keys the loads handled. The child gets keys only as files, never the
needles, and copies its memory out; so every hit is a leftover of the module."""
import base64
import json
import os
import platform
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from support.vaults import Secret, VaultSpec, encrypt, write_vault

PLUGIN = Path(__file__).resolve().parents[1] / "plugin" / "age-plugin-vesktest"

# The age key's values, decrypted in name order. 20 bytes take OpenSSL's single-block
# ChaCha20 code; 64 KiB + 320 bytes fill one STREAM chunk, then end on whole blocks of its
# multi-block code (past 128 bytes); 300 bytes come last, in the multi-block code and then
# one partial block, so that the last state of both codes is of this value. The plugin
# key has the first value only: each file it opens costs a plugin and a pinentry process.
SIZES = {"V1_SHORT": 20, "V2_LONG": (64 << 10) + 320, "V3_MEDIUM": 300}
PLUGIN_VALUES = ["V1_SHORT"]

# OpenSSL picks its ChaCha20, SHA-256, Poly1305 and X25519 code by CPUID, so a leftover of
# one code is seen only where the CPU takes it. OPENSSL_ia32cap="~A:~B" (OpenSSL 3.0 and
# 3.5 alike) clears bits A of CPUID.1 (EDX | ECX << 32) and B of CPUID.7 (EBX | ECX << 32);
# never set one, as code for a feature the CPU lacks faults. Each row clears more.
SHA = 1 << 29
AVX512 = 1 << 16 | 1 << 17 | 1 << 21 | 1 << 30 | 1 << 31  # F, DQ, IFMA, BW, VL
AVX2 = 1 << 3 | 1 << 5 | 1 << 8 | 1 << 19  # and BMI1, BMI2, ADX, which its code and MULX X25519 need
AVX = 1 << 60 | 1 << 43  # and AMD's XOP
SSSE3 = 1 << 41
CPU_PATHS = {
    "default": None,  # whatever this CPU takes
    # SHA-256 in AVX2 rather than SHA-NI; ChaCha20 in SSSE3 and AVX2 where the CPU has AVX-512
    "no-shaext": (0, SHA | AVX512),
    # ChaCha20 past 128 bytes four blocks at a time in SSSE3, SHA-256 in SSSE3 (in AVX on
    # Intel), X25519 in 51-bit limbs without MULX/ADX, Poly1305 in AVX
    "no-avx2": (0, SHA | AVX512 | AVX2),
    # SHA-256 in SSSE3 on Intel too, no XOP ChaCha20 (AMD family 15h), Poly1305 in integers
    "no-avx": (AVX, SHA | AVX512 | AVX2),
    # ChaCha20 and SHA-256 in integer code
    "no-ssse3": (AVX | SSSE3, SHA | AVX512 | AVX2),
}
if platform.machine().lower() not in ("x86_64", "amd64"):
    CPU_PATHS = {"default": None}

# The child loads with the plugin (asking for a PIN), then with an age key, so that
# the age values' payload keys are the last keys derived; then a malformed SSH key fails;
# all on the main thread, or on a worker with the smallest stack Python allows. The copy
# is made on a thread of its own, so that the stack of the loads stays as they left it,
# and mapped. Mappings of files that are not writable hold what the files hold, and no
# file the child maps holds a needle: they are left out.
CHILD = textwrap.dedent("""
    import ctypes, json, mmap, os, sys, threading
    import vesk
    plugin_key, age_key, bad_ssh_key, expected, thread = sys.argv[1:]
    with open(expected) as f:
        expected = json.load(f)

    def loads():
        for path, who in ((plugin_key, "plugin"), (age_key, "age")):
            os.environ["VESK_KEY_FILE"] = path
            assert vesk.load().export() == expected[who]
        os.environ["VESK_KEY_FILE"] = bad_ssh_key
        try:
            vesk.load()
            sys.exit("a malformed SSH key was accepted")
        except RuntimeError as e:
            assert "invalid key" in str(e), e

    def copy_memory():
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
            if ("r" not in fields[1] or start <= own < end or line.endswith(("[vvar]", "[vsyscall]"))
                    or "w" not in fields[1] and fields[-1].startswith("/")):
                continue
            for at in range(start, end, len(buf)):
                try:
                    n = os.preadv(mem, [view[:min(len(buf), end - at)]], at)
                except OSError:
                    break
                done = 0
                while done < n:
                    done += os.write(1, view[done:n])

    def on_thread(run, stack_size):
        failed = []
        def guarded():
            try:
                run()
            except BaseException as e:
                failed.append(e)
        threading.stack_size(stack_size)
        t = threading.Thread(target=guarded)
        t.start()
        t.join()
        if failed:
            raise failed[0]

    def loads_then_copy():
        loads()
        on_thread(copy_memory, 1 << 18)

    if thread == "main":
        loads_then_copy()
    else:
        on_thread(loads_then_copy, 32768)
""")


def file_needles(value, scalar, plugin, pad):
    """The keys behind one age file: its file key (read off the plugin's stanza), raw and in
    base64 as a plugin sends it; its payload key; the shared secret and the wrap key of its
    X25519 stanza."""
    identity = X25519PrivateKey.from_private_bytes(scalar)
    public = identity.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    header, rest = base64.b64decode(value).split(b"\n--- ", 1)
    body = re.search(rb"^-> vesktest \S+\n(\S+)$", header, re.M)[1]
    file_key = plugin["xor"](base64.b64decode(body + b"=="), pad)
    nonce = rest.split(b"\n", 1)[1][:16]
    share = plugin["unb64"](re.search(rb"^-> X25519 (\S+)$", header, re.M)[1].decode())
    shared = identity.exchange(X25519PublicKey.from_public_bytes(share))
    return {
        "file key": file_key,
        "file key (base64)": base64.b64encode(file_key).rstrip(b"="),
        "payload key": HKDF(hashes.SHA256(), 32, nonce, b"payload").derive(file_key),
        "X25519 shared secret": shared,
        "X25519 wrap key": HKDF(hashes.SHA256(), 32, share + public, b"age-encryption.org/v1/X25519").derive(shared),
    }


@pytest.fixture(scope="module")
def vault(tmp_path_factory, keys):
    """The vault, key files and environment of the child; and every key its loads handle."""
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
    plugin, (age_key, me) = runpy.run_path(str(PLUGIN)), keys["me"]
    to_plugin = plugin_key.split(": ", 1)[1].split("\n", 1)[0]
    pad = plugin["pad_of"](plugin["bech32_decode"](to_plugin)[1])
    age_line = next(line for line in age_key.splitlines() if line.startswith("AGE-SECRET-KEY-"))
    scalar = plugin["bech32_decode"](age_line)[1]
    needles["X25519 identity"], needles["X25519 identity (text)"] = scalar, age_line.encode()
    needles["plugin identity (text)"] = plugin_key.splitlines()[1].encode()
    # Every file is also encrypted to the plugin, whose stanza gives away the file key.
    expected = {"age": {name: (f"via age {name} " * size)[:size] for name, size in SIZES.items()},
                "plugin": {name: f"via plugin {name}" for name in PLUGIN_VALUES}}
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("PATH", path)
        spec = VaultSpec(recipients=[me, to_plugin], secrets={name: Secret() for name in SIZES})
        doc = spec.document()
        for who, key in (("age", me), ("plugin", to_plugin)):
            for name, value in expected[who].items():
                doc["secrets"][name]["scoped"][key] = encrypt(value, [me, to_plugin])
        (d / "work").mkdir()
        write_vault(d / "work" / ".vesk", spec, doc=doc)
    needles["MAC key"] = spec.mac_key
    doc = json.loads((d / "work" / ".vesk").read_text())
    files = {"meta": doc["meta"]}
    for who, key in (("age", me), ("plugin", to_plugin)):
        files |= {f"{who} {name}": doc["secrets"][name]["scoped"][key] for name in expected[who]}
    for where, value in files.items():
        for what, needle in file_needles(value, scalar, plugin, pad).items():
            needles[f"{what} ({where})"] = needle
    (d / "expected.json").write_text(json.dumps(expected))

    # A valid Ed25519 key with one stray "=" on its last base64 line.
    good = keys["ed25519"][0].read_bytes()
    lines = good.splitlines(keepends=True)
    lines[-2] = lines[-2].rstrip(b"\n") + b"=\n"
    needles["SSH seed (malformed key file)"] = serialization.load_ssh_private_key(good, None).private_bytes(
        serialization.Encoding.Raw, serialization.PrivateFormat.Raw, serialization.NoEncryption())
    for name, text in (("age.key", age_key.encode()), ("plugin.key", plugin_key.encode()),
                       ("bad_ssh", b"".join(lines))):
        (d / name).write_bytes(text)
        (d / name).chmod(0o600)
    assert len(needles) == 7 + 5 * len(files)

    # A module-scoped fixture runs outside the per-test isolation: the child gets its own.
    (d / "home").mkdir()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VESK_") and k not in ("USERPROFILE", "OPENSSL_ia32cap")}
    env.update(PATH=path, HOME=str(d / "home"), VESKTEST_MODE="secret", PINENTRY_PROGRAM=str(d / "bin/pinentry"))
    args = [str(d / name) for name in ("plugin.key", "age.key", "bad_ssh", "expected.json")]
    return d / "work", env, args, needles


def forms(needle):
    """A needle raw; when it is whole 32-bit words, also as a SHA-256 state holds it (each
    big-endian word in host, little-endian, order) and as multi-block ChaCha20 code
    spreads a key over vector lanes (each word 4 times in SSSE3, 8 times in AVX2)."""
    if len(needle) % 4:
        return {"raw": needle}
    words = [needle[i:i + 4] for i in range(0, len(needle), 4)]
    return {"raw": needle, "SHA-256 words": b"".join(w[::-1] for w in words),
            "words x4": b"".join(w * 4 for w in words), "words x8": b"".join(w * 8 for w in words)}


@pytest.mark.parametrize("thread", ["main", "worker"])
@pytest.mark.parametrize("cpu", CPU_PATHS)
def test_no_key_or_secret_is_left_in_memory(vault, cpu, thread):
    work, env, args, needles = vault
    if CPU_PATHS[cpu]:
        env = env | {"OPENSSL_ia32cap": "~{:#x}:~{:#x}".format(*CPU_PATHS[cpu])}
    child = subprocess.run([sys.executable, "-c", CHILD, *args, thread], cwd=work, env=env,
                           capture_output=True, timeout=60)
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    memory = child.stdout
    assert len(memory) > 1 << 20
    found = {what: {form: n for form, text in forms(needle).items() if (n := memory.count(text))}
             for what, needle in needles.items()}
    assert {what: copies for what, copies in found.items() if copies} == {}
