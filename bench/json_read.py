#!/usr/bin/env python3
"""Vault reader throughput against CPython's json.loads on the same bytes.

Builds a synthetic vault of at least 50 MB (10,000 secrets, each with a shared
value and 10 scoped values, as base64 texts of the sizes age ciphertexts have),
times json.loads on it, runs the C++ reader through bench/json_read.cpp, and
prints both rates and their ratio. Both are measured in this one run.
"""
import base64
import json
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECRETS = 10_000
SCOPED_PER_SECRET = 10
RECIPIENTS = 10
# An age file: ~36 bytes of intro, ~170 per X25519 stanza, ~70 of MAC and nonce.
SHARED_BYTES = 106 + 170 * RECIPIENTS + 64
SCOPED_BYTES = 106 + 170 + 64
BECH32 = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"
REPEATS = 5


def age_key(rng):
    return "age1" + "".join(rng.choice(BECH32) for _ in range(58))


def b64(rng, n):
    return base64.b64encode(rng.randbytes(n)).decode()


def synthetic_vault():
    rng = random.Random(7)
    recipients = [age_key(rng) for _ in range(RECIPIENTS)]
    schema, secrets = {}, {}
    for i in range(SECRETS):
        name = f"SECRET_{i:05d}"
        schema[name] = {"description": f"credential number {i}", "tags": ["prod", "db"],
                        "created": "2024-01-01", "rotation_interval_days": 90}
        scoped = {age_key(rng): b64(rng, SCOPED_BYTES) for _ in range(SCOPED_PER_SECRET)}
        secrets[name] = {"shared": b64(rng, SHARED_BYTES), "scoped": scoped, "grouped": {}}
    doc = {"version": "2", "created": "2024-01-01", "vault_name": "bench", "repo": "",
           "recipients": recipients, "schema": schema, "policy": {"agent_allow_tags": ["ci"]},
           "secrets": secrets, "meta": b64(rng, 4096)}
    return json.dumps(doc, indent=2).encode()


def build_reader():
    build = os.environ.get("VESK_BENCH_BUILD", os.path.join(ROOT, "build", "bench"))
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DVESK_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "bench_json_read"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bench_json_read")


def time_json_loads(data):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        json.loads(data)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    reader = build_reader()
    data = synthetic_vault()
    with tempfile.NamedTemporaryFile(suffix=".vesk", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        python_s = time_json_loads(data)
        out = subprocess.run([reader, path, str(REPEATS)], check=True, capture_output=True, text=True).stdout
        ours_s, size, secrets = out.split()
        ours_s, size = float(ours_s), int(size)
    finally:
        os.unlink(path)
    mb = size / 1e6
    print(f"vault: {mb:.1f} MB, {secrets} secrets x {SCOPED_PER_SECRET} scoped values")
    print(f"json.loads:  {mb / python_s:8.1f} MB/s")
    print(f"vesk reader: {mb / ours_s:8.1f} MB/s")
    print(f"ratio: {python_s / ours_s:.2f}x json.loads (target >= 2x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
