"""Vault integrity for tests: MAC streams, the signed view and signatures.

An implementation of its own, written from the vault format's rules with
hashlib, the PyPI ``blake3`` package and ``cryptography``; it never runs the
module under test. Tests use it to compute what the module must accept, and
to write whole test vaults.

Documents and meta records are plain dicts in their JSON form (as in the
vault file and the decrypted meta): optional members may be missing, and
``policy`` may be missing or None.
"""

from __future__ import annotations

import base64
import hashlib
import os
import struct
from typing import Iterable, Mapping, Optional

import blake3
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

# version number -> MAC prefix (the number in the prefix lags from version 4 on)
MAC_PREFIXES = {
    1: "sha256:",
    2: "sha256v2:",
    3: "blake3:",
    4: "blake3v2:",
    5: "blake3v3:",
    6: "blake3v4:",
    7: "blake3v5:",
    8: "blake3v6:",
    9: "blake3v7:",
}
VIEW_DOMAIN = b"vesk.vault.sig.v1\n"


def utf8(text: str) -> bytes:
    return text.encode("utf-8")


def byte_sorted(texts: Iterable[str]) -> list[str]:
    """Ascending by UTF-8 bytes, duplicates kept."""
    return sorted(texts, key=utf8)


def byte_items(mapping: Mapping[str, object]):
    return sorted(mapping.items(), key=lambda kv: utf8(kv[0]))


def _t(text: Optional[str]) -> bytes:
    """A text and its 0x00 terminator; an absent text is empty."""
    return utf8(text or "") + b"\x00"


# --- MAC stream sections ---------------------------------------------------


def _secrets(doc):
    return byte_items(doc.get("secrets", {}))


def section_k(doc) -> bytes:
    return b"".join(_t(name) for name, _ in _secrets(doc))


def section_s1(doc) -> bytes:
    return b"".join(_t(entry["shared"]) for _, entry in _secrets(doc))


def _shared_scoped(entry) -> bytes:
    out = _t(entry["shared"])
    for pk, ct in byte_items(entry.get("scoped", {})):
        out += utf8(pk) + b"\x01" + _t(ct)
    return out


def section_s2(doc) -> bytes:
    return b"".join(_shared_scoped(entry) for _, entry in _secrets(doc))


def section_s6(doc) -> bytes:
    out = b""
    for _, entry in _secrets(doc):
        out += _shared_scoped(entry)
        for group, ct in byte_items(entry.get("grouped", {})):
            out += b"\x03" + _t(group) + _t(ct)
    return out


def section_r(doc) -> bytes:
    return b"".join(_t(r) for r in byte_sorted(doc.get("recipients", [])))


def section_c(doc, with_dates: bool) -> bytes:
    out = b""
    for name, e in byte_items(doc.get("schema", {})):
        out += b"\x02" + _t(name) + _t(e["description"]) + _t(e.get("example"))
        out += b"".join(_t(tag) for tag in e.get("tags", []))
        if with_dates:
            days = e.get("rotation_interval_days")
            out += _t(e.get("created")) + _t(e.get("updated"))
            out += _t(None if days is None else str(days)) + _t(e.get("expires_at"))
    return out


def section_g(meta) -> bytes:
    out = b""
    for name, members in byte_items(meta.get("groups", {})):
        out += b"\x04" + _t(name) + b"".join(b"\x05" + utf8(m) for m in byte_sorted(members))
    return out


def section_t(meta) -> bytes:
    out = b""
    for name, g in byte_items(meta.get("grants", {})):
        out += b"\x06" + _t(name) + _t(g["pubkey"]) + _t(g["issued_at"])
        out += _t(g["expires_at"]) + _t(g["issuer"])
        out += b"".join(b"\x07" + utf8(s) for s in byte_sorted(g["scope"]))
    return out


def section_p(doc) -> bytes:
    policy = doc.get("policy")
    if policy is None:
        return b""
    out = b"\x08"
    for tag in byte_sorted(policy.get("agent_allow_tags", [])):
        out += struct.pack(">Q", len(utf8(tag))) + utf8(tag)
    return out


def section_v(doc) -> bytes:
    out = b""
    for name, e in byte_items(doc.get("schema", {})):
        if "revoked_at" in e and e["revoked_at"] is not None:
            out += b"\x09" + _t(name) + _t(e["revoked_at"])
    return out


def mac_stream(doc: dict, meta: dict, version: int) -> bytes:
    """The byte stream that MAC version 1..9 hashes."""
    k, r = section_k(doc), section_r(doc)
    if version == 1:
        return k + section_s1(doc) + r
    if version in (2, 3):
        return k + section_s2(doc) + r
    if version == 4:
        return k + section_s2(doc) + r + section_c(doc, False)
    if version == 5:
        return k + section_s2(doc) + r + section_c(doc, True)
    sections = [k, section_s6(doc), r, section_c(doc, True), section_g(meta)]
    if version >= 7:
        sections.append(section_t(meta))
    if version >= 8:
        sections.append(section_p(doc))
    if version == 9:
        sections.append(section_v(doc))
    return b"".join(sections)


def compute_mac(doc: dict, meta: dict, version: int, key: Optional[bytes] = None) -> str:
    """The MAC text of a version; versions 3..9 need the 32-byte key."""
    stream = mac_stream(doc, meta, version)
    if version <= 2:
        digest = hashlib.sha256(stream).hexdigest()
    else:
        if key is None or len(key) != 32:
            raise ValueError("keyed MAC versions need a 32-byte key")
        digest = blake3.blake3(stream, key=key).hexdigest()
    return MAC_PREFIXES[version] + digest


def newest_needed_version(doc: dict, meta: dict) -> int:
    """The lowest keyed version the downgrade guard admits (at least 5)."""
    if any("revoked_at" in e and e["revoked_at"] is not None for e in doc.get("schema", {}).values()):
        return 9
    if doc.get("policy") is not None:
        return 8
    if meta.get("grants"):
        return 7
    if meta.get("groups") or any(e.get("grouped") for e in doc.get("secrets", {}).values()):
        return 6
    return 5


# --- the signed view -------------------------------------------------------

_SHORT_ESCAPES = {0x08: "b", 0x09: "t", 0x0A: "n", 0x0C: "f", 0x0D: "r"}


def json_string(text: str) -> str:
    """A JSON string escaped the way the vault tool writes: only the quotation
    mark, the backslash and control bytes below 0x20."""
    out = ['"']
    for ch in text:
        c = ord(ch)
        if ch in '"\\':
            out.append("\\" + ch)
        elif c < 0x20:
            out.append("\\" + _SHORT_ESCAPES[c] if c in _SHORT_ESCAPES else "\\u%04x" % c)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _array(items) -> str:
    return "[" + ",".join(json_string(i) for i in items) + "]"


def _object(pairs) -> str:
    return "{" + ",".join(json_string(k) + ":" + v for k, v in pairs) + "}"


def _schema_entry(e) -> str:
    pairs = [("description", json_string(e["description"]))]
    if e.get("example") is not None:
        pairs.append(("example", json_string(e["example"])))
    if e.get("tags"):
        pairs.append(("tags", _array(e["tags"])))
    for key in ("created", "updated"):
        if e.get(key) is not None:
            pairs.append((key, json_string(e[key])))
    if e.get("rotation_interval_days") is not None:
        pairs.append(("rotation_interval_days", str(int(e["rotation_interval_days"]))))
    for key in ("expires_at", "revoked_at"):
        if e.get(key) is not None:
            pairs.append((key, json_string(e[key])))
    return _object(pairs)


def _text_map(m) -> str:
    return _object((k, json_string(v)) for k, v in byte_items(m))


def _secret_entry(e) -> str:
    pairs = [("shared", json_string(e["shared"]))]
    for key in ("scoped", "grouped"):
        if e.get(key):
            pairs.append((key, _text_map(e[key])))
    return _object(pairs)


def _grant(g) -> str:
    return _object([
        ("pubkey", json_string(g["pubkey"])),
        ("scope", _array(g["scope"])),
        ("issued_at", json_string(g["issued_at"])),
        ("expires_at", json_string(g["expires_at"])),
        ("issuer", json_string(g["issuer"])),
    ])


def signed_view(doc: dict, meta: dict) -> bytes:
    """The exact bytes a vault signature covers."""
    policy = doc.get("policy")
    members = [
        ("v", "1"),
        ("version", json_string(doc["version"])),
        ("recipients", _array(byte_sorted(doc.get("recipients", [])))),
        ("schema", _object((k, _schema_entry(e)) for k, e in byte_items(doc.get("schema", {})))),
        ("secrets", _object((k, _secret_entry(e)) for k, e in byte_items(doc.get("secrets", {})))),
        ("policy", "null" if policy is None
         else _object([("agent_allow_tags", _array(policy.get("agent_allow_tags", [])))])),
        ("groups", _object((k, _array(v)) for k, v in byte_items(meta.get("groups", {})))),
        ("grants", _object((k, _grant(g)) for k, g in byte_items(meta.get("grants", {})))),
        ("github_pins", _object((k, _array(v)) for k, v in byte_items(meta.get("github_pins", {})))),
        ("signers", _text_map(meta.get("signers", {}))),
    ]
    return VIEW_DOMAIN + utf8(_object(members))


# --- keys and signatures ---------------------------------------------------


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def ed25519_key(seed: bytes) -> Ed25519PrivateKey:
    """A deterministic signing key from a 32-byte seed."""
    return Ed25519PrivateKey.from_private_bytes(seed)


def public_raw(key: Ed25519PrivateKey) -> bytes:
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def verifying_key_b64(key: Ed25519PrivateKey) -> str:
    return b64(public_raw(key))


def ssh_ed25519_line(key: Ed25519PrivateKey, comment: str = "") -> str:
    """The OpenSSH public key line of an Ed25519 key."""
    name = b"ssh-ed25519"
    blob = struct.pack(">I", len(name)) + name + struct.pack(">I", 32) + public_raw(key)
    line = "ssh-ed25519 " + b64(blob)
    return line + (" " + comment if comment else "")


def sign(doc: dict, meta: dict, key: Ed25519PrivateKey) -> str:
    """Base64 of the Ed25519 signature of the signed view."""
    return b64(key.sign(signed_view(doc, meta)))


def seal_meta(doc: dict, meta: dict, *, mac_key: Optional[bytes] = None,
              mac_version: Optional[int] = None, signer: Optional[str] = None,
              signing_key: Optional[Ed25519PrivateKey] = None) -> dict:
    """A copy of `meta` with `mac` (and `mac_key`) filled in and, when a signer
    and key are given, `sig`. Without a version: "sha256v2:" when there is no
    key, else the lowest keyed version the guard admits."""
    out = dict(meta)
    if mac_key is not None:
        out["mac_key"] = mac_key.hex()
    if mac_version is None:
        mac_version = 2 if mac_key is None else newest_needed_version(doc, out)
    out["mac"] = compute_mac(doc, out, mac_version, mac_key)
    if signer is not None and signing_key is not None:
        out["sig"] = {"signer": signer, "v": 1, "sig": sign(doc, out, signing_key)}
    return out


# --- signer-pin files ------------------------------------------------------


def vault_hash(absolute_path) -> str:
    """The 16 hex digits that name a vault's pin and key files: bytes that are
    not UTF-8 become U+FFFD first."""
    raw = os.fsencode(absolute_path)
    text = raw.decode("utf-8", "replace")
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


def pin_file_text(signers: Mapping[str, str], was_signed: bool) -> bytes:
    """A signer-pin file exactly as the module writes it."""
    if signers:
        entries = ",\n".join("    %s: %s" % (json_string(k), json_string(v))
                             for k, v in byte_items(signers))
        body = '  "signers": {\n' + entries + "\n  },\n"
    else:
        body = '  "signers": {},\n'
    flag = "true" if was_signed else "false"
    return utf8("{\n" + body + '  "was_signed": ' + flag + "\n}")
