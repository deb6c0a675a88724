"""Benchmark: loading a vault of N secrets, each encrypted to R X25519 recipients.

Measured in one run:
  load   vesk.load, median of several runs
  floor  the X25519 derivations the load cannot avoid (one per stanza tried
         until the caller's own: the meta, then every value), timed in this
         process with the same libcrypto the module links, through ctypes
  peer   a Python loop decrypting the same values with PyPI's pyrage
Also: Vault.get per call, and the peak memory a load adds (in a fresh process).
"""
import base64
import ctypes
import ctypes.util
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyrage

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from support import vaultlib  # noqa: E402

import vesk  # noqa: E402

N, R, RUNS = 1000, 5, 7


def encrypt(data: bytes, recipients, me):
    """age ciphertext with our stanza at a random place; returns (b64, our position)."""
    order = list(recipients)
    random.shuffle(order)
    ct = pyrage.encrypt(data, order)
    return base64.b64encode(ct).decode(), order.index(me) + 1


def write_vault(path: Path):
    me_id = pyrage.x25519.Identity.generate()
    me = me_id.to_public()
    others = [pyrage.x25519.Identity.generate().to_public() for _ in range(R - 1)]
    recipients = [me] + others
    texts = [str(r) for r in recipients]
    tried = 0
    doc = {"version": "2.0", "created": "2026-01-01", "vault_name": "bench", "recipients": texts,
           "schema": {}, "secrets": {}, "meta": ""}
    for i in range(N):
        name = f"SECRET_{i:04d}"
        value, pos = encrypt(f"value-{i}-{os.urandom(12).hex()}".encode(), recipients, me)
        tried += pos
        doc["schema"][name] = {"description": f"secret {i}", "tags": ["app"]}
        doc["secrets"][name] = {"shared": value}
    signing_key = vaultlib.ed25519_key(os.urandom(32))
    signer = texts[1]
    meta = vaultlib.seal_meta(doc, {"recipients": {}, "mac": "", "signers": {
        signer: vaultlib.verifying_key_b64(signing_key)}}, mac_key=os.urandom(32),
        signer=signer, signing_key=signing_key)
    import json
    doc["meta"], pos = encrypt(json.dumps(meta).encode(), recipients, me)
    tried += pos
    path.write_text(json.dumps(doc))
    return me_id, doc, tried


def median_time(fn, runs=RUNS):
    samples = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t)
    return statistics.median(samples)


def libcrypto():
    lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
    for name in ("EVP_PKEY_new_raw_private_key", "EVP_PKEY_new_raw_public_key", "EVP_PKEY_CTX_new"):
        getattr(lib, name).restype = ctypes.c_void_p
    lib.EVP_PKEY_new_raw_private_key.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.EVP_PKEY_new_raw_public_key.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.EVP_PKEY_CTX_new.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    for name in ("EVP_PKEY_derive_init", "EVP_PKEY_CTX_free", "EVP_PKEY_free"):
        getattr(lib, name).argtypes = [ctypes.c_void_p]
    lib.EVP_PKEY_derive_set_peer.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.EVP_PKEY_derive.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t)]
    return lib


def floor_time(derivations):
    """One X25519 derivation per stanza tried, as the decryptor makes it."""
    lib, nid = libcrypto(), 1034  # NID_X25519
    secret = lib.EVP_PKEY_new_raw_private_key(nid, None, os.urandom(32), 32)
    shares = [os.urandom(32) for _ in range(64)]
    out, size = ctypes.create_string_buffer(32), ctypes.c_size_t(32)

    def derive():
        for i in range(derivations):
            peer = lib.EVP_PKEY_new_raw_public_key(nid, None, shares[i & 63], 32)
            ctx = lib.EVP_PKEY_CTX_new(secret, None)
            lib.EVP_PKEY_derive_init(ctx)
            lib.EVP_PKEY_derive_set_peer(ctx, peer)
            lib.EVP_PKEY_derive(ctx, out, ctypes.byref(size))
            lib.EVP_PKEY_CTX_free(ctx)
            lib.EVP_PKEY_free(peer)
    return median_time(derive)


def peak_memory_kib(vault, key_text):
    # Reset the peak-RSS mark after import, so only the load counts.
    code = ("import vesk\n"
            "def kib(f): return int(next(l for l in open('/proc/self/status') if l.startswith(f)).split()[1])\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "base = kib('VmRSS:')\n"
            f"v = vesk.load({str(vault)!r})\n"
            "print(kib('VmHWM:') - base)")
    env = dict(os.environ, VESK_KEY=key_text, VESK_NO_SIGNER_PIN="1")
    return int(subprocess.run([sys.executable, "-c", code], env=env, check=True,
                              capture_output=True, text=True).stdout)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        vault = Path(tmp) / "bench.vesk"
        identity, doc, derivations = write_vault(vault)
        key_text = str(identity)
        os.environ["VESK_KEY"] = key_text
        os.environ["VESK_NO_SIGNER_PIN"] = "1"
        os.environ["HOME"] = tmp
        size_mb = vault.stat().st_size / 1e6

        load = median_time(lambda: vesk.load(str(vault)))
        floor = floor_time(derivations)
        cts = [base64.b64decode(e["shared"]) for e in doc["secrets"].values()]
        peer = median_time(lambda: [pyrage.decrypt(c, [identity]) for c in cts], runs=3)
        v = vesk.load(str(vault))
        calls = 20000
        t = time.perf_counter()
        for _ in range(calls):
            v.get("SECRET_0500")
        per_get = (time.perf_counter() - t) / calls
        peak = peak_memory_kib(vault, key_text)

    print(f"vault: {N} secrets x {R} recipients, {size_mb:.1f} MB, {derivations} X25519 derivations needed")
    print(f"vesk.load          {load * 1e3:8.1f} ms")
    print(f"floor (X25519)     {floor * 1e3:8.1f} ms   load/floor = {load / floor:.2f}x  (target <= 1.2x)")
    print(f"pyrage loop        {peer * 1e3:8.1f} ms   pyrage/load = {peer / load:.2f}x  (target > 1x)")
    print(f"Vault.get          {per_get * 1e9:8.0f} ns per call")
    print(f"peak memory added  {peak:8d} KiB by one load")


if __name__ == "__main__":
    main()
