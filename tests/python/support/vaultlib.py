"""MAC streams, the signed view and signatures, written anew from the vault format's rules
(hashlib, blake3, cryptography), never by the module under test. Documents and metas are
plain dicts in their JSON form: optional members may be missing, ``policy`` also None."""

import base64
import hashlib
import os
import struct
from typing import Optional

import blake3
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

# MAC version 1..9 -> prefix (the number in the prefix lags from version 4 on)
MAC_PREFIXES = ["sha256:", "sha256v2:", "blake3:"] + [f"blake3v{n}:" for n in range(2, 8)]


def _t(text: Optional[str]) -> bytes:
    """A text and its 0x00 terminator; an absent text is empty."""
    return (text or "").encode() + b"\0"


def _sorted(texts):
    """Ascending by UTF-8 bytes, duplicates kept."""
    return sorted(texts, key=str.encode)


def _items(mapping):
    return sorted(mapping.items(), key=lambda kv: kv[0].encode())


def mac_stream(doc: dict, meta: dict, version: int) -> bytes:
    """The byte stream that MAC version 1..9 hashes: K, S1/S2/S6, R, C4/C5, G, T, P, V."""
    secrets = _items(doc.get("secrets", {}))
    out = b"".join(_t(name) for name, _ in secrets)
    for _, e in secrets:
        out += _t(e["shared"])
        if version >= 2:
            out += b"".join(pk.encode() + b"\1" + _t(ct) for pk, ct in _items(e.get("scoped", {})))
        if version >= 6:
            out += b"".join(b"\3" + _t(group) + _t(ct) for group, ct in _items(e.get("grouped", {})))
    out += b"".join(_t(r) for r in _sorted(doc.get("recipients", [])))
    if version >= 4:
        for name, e in _items(doc.get("schema", {})):
            out += b"\2" + _t(name) + _t(e["description"]) + _t(e.get("example"))
            out += b"".join(_t(tag) for tag in e.get("tags", []))
            if version >= 5:
                days = e.get("rotation_interval_days")
                out += _t(e.get("created")) + _t(e.get("updated"))
                out += _t(None if days is None else str(days)) + _t(e.get("expires_at"))
    if version >= 6:
        for name, members in _items(meta.get("groups", {})):
            out += b"\4" + _t(name) + b"".join(b"\5" + m.encode() for m in _sorted(members))
    if version >= 7:
        for name, g in _items(meta.get("grants", {})):
            out += b"\6" + b"".join(_t(t) for t in (name, g["pubkey"], g["issued_at"], g["expires_at"], g["issuer"]))
            out += b"".join(b"\7" + s.encode() for s in _sorted(g["scope"]))
    if version >= 8 and doc.get("policy") is not None:
        tags = [t.encode() for t in _sorted(doc["policy"].get("agent_allow_tags", []))]
        out += b"\x08" + b"".join(struct.pack(">Q", len(t)) + t for t in tags)
    if version == 9:
        for name, e in _items(doc.get("schema", {})):
            if e.get("revoked_at") is not None:
                out += b"\x09" + _t(name) + _t(e["revoked_at"])
    return out


def compute_mac(doc: dict, meta: dict, version: int, key: Optional[bytes] = None) -> str:
    """The MAC text of a version; versions 3..9 need the 32-byte key."""
    stream = mac_stream(doc, meta, version)
    digest = hashlib.sha256(stream) if version <= 2 else blake3.blake3(stream, key=key)
    return MAC_PREFIXES[version - 1] + digest.hexdigest()


def newest_needed_version(doc: dict, meta: dict) -> int:
    """The lowest keyed version the downgrade guard admits (at least 5)."""
    if any(e.get("revoked_at") is not None for e in doc.get("schema", {}).values()):
        return 9
    if doc.get("policy") is not None:
        return 8
    if meta.get("grants"):
        return 7
    if meta.get("groups") or any(e.get("grouped") for e in doc.get("secrets", {}).values()):
        return 6
    return 5


# --- the signed view -------------------------------------------------------

_ESCAPES = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r", 0x22: '\\"', 0x5C: "\\\\"}


def json_string(text: str) -> str:
    """Escaped as the vault tool writes: only '"', '\\' and control bytes below 0x20."""
    return '"' + "".join(_ESCAPES.get(ord(c)) or ("\\u%04x" % ord(c) if ord(c) < 0x20 else c) for c in text) + '"'


def _array(items) -> str:
    return "[" + ",".join(json_string(i) for i in items) + "]"


def _object(pairs) -> str:
    return "{" + ",".join(json_string(k) + ":" + v for k, v in pairs) + "}"


def _schema_entry(e) -> str:
    pairs = [("description", json_string(e["description"]))]
    for k in ("example", "tags", "created", "updated", "rotation_interval_days", "expires_at", "revoked_at"):
        v = e.get(k)
        if v is not None and (v or k != "tags"):
            pairs.append((k, _array(v) if k == "tags" else str(int(v)) if k == "rotation_interval_days"
                          else json_string(v)))
    return _object(pairs)


def _text_map(m) -> str:
    return _object((k, json_string(v)) for k, v in _items(m))


def _secret_entry(e) -> str:
    return _object([("shared", json_string(e["shared"]))] +
                   [(k, _text_map(e[k])) for k in ("scoped", "grouped") if e.get(k)])


def _grant(g) -> str:
    return _object((k, _array(g[k]) if k == "scope" else json_string(g[k]))
                   for k in ("pubkey", "scope", "issued_at", "expires_at", "issuer"))


def signed_view(doc: dict, meta: dict) -> bytes:
    """The exact bytes a vault signature covers."""
    policy = doc.get("policy")
    return b"vesk.vault.sig.v1\n" + _object([
        ("v", "1"),
        ("version", json_string(doc["version"])),
        ("recipients", _array(_sorted(doc.get("recipients", [])))),
        ("schema", _object((k, _schema_entry(e)) for k, e in _items(doc.get("schema", {})))),
        ("secrets", _object((k, _secret_entry(e)) for k, e in _items(doc.get("secrets", {})))),
        ("policy", "null" if policy is None
         else _object([("agent_allow_tags", _array(policy.get("agent_allow_tags", [])))])),
        ("groups", _object((k, _array(v)) for k, v in _items(meta.get("groups", {})))),
        ("grants", _object((k, _grant(g)) for k, g in _items(meta.get("grants", {})))),
        ("github_pins", _object((k, _array(v)) for k, v in _items(meta.get("github_pins", {})))),
        ("signers", _text_map(meta.get("signers", {}))),
    ]).encode()


# --- keys, signatures and sealing ------------------------------------------


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def ed25519_key(seed: bytes) -> Ed25519PrivateKey:
    """A deterministic signing key from a 32-byte seed."""
    return Ed25519PrivateKey.from_private_bytes(seed)


def _public_raw(key: Ed25519PrivateKey) -> bytes:
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def verifying_key_b64(key: Ed25519PrivateKey) -> str:
    return _b64(_public_raw(key))


def ssh_ed25519_line(key: Ed25519PrivateKey, comment: str = "") -> str:
    """The OpenSSH public key line of an Ed25519 key."""
    blob = struct.pack(">I", 11) + b"ssh-ed25519" + struct.pack(">I", 32) + _public_raw(key)
    return "ssh-ed25519 " + _b64(blob) + (" " + comment if comment else "")


def sign(doc: dict, meta: dict, key: Ed25519PrivateKey) -> str:
    """Base64 of the Ed25519 signature of the signed view."""
    return _b64(key.sign(signed_view(doc, meta)))


def seal_meta(doc: dict, meta: dict, *, mac_key: bytes, signer: Optional[str] = None,
              signing_key: Optional[Ed25519PrivateKey] = None) -> dict:
    """A copy of `meta` with `mac_key` and `mac` (the lowest version the guard admits) filled
    in and, when a signer and key are given, `sig`."""
    out = dict(meta, mac_key=mac_key.hex())
    out["mac"] = compute_mac(doc, out, newest_needed_version(doc, out), mac_key)
    if signer is not None and signing_key is not None:
        out["sig"] = {"signer": signer, "v": 1, "sig": sign(doc, out, signing_key)}
    return out


def vault_hash(absolute_path) -> str:
    """The 16 hex digits that name a vault's pin and key files: bytes that are
    not UTF-8 become U+FFFD first."""
    text = os.fsencode(absolute_path).decode("utf-8", "replace")
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]
