"""Writes test vaults with independent tools only: values and the meta are encrypted by the
real `age` program, MACs and signatures come from vaultlib. Nothing here runs the module."""

import base64
import json
import os
import subprocess
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional, Union

from . import vaultlib

Text = Union[str, bytes]


def age_keygen() -> tuple[str, str]:
    """A fresh X25519 identity: (identity file text, recipient)."""
    out = subprocess.run(["age-keygen"], check=True, capture_output=True, text=True).stdout
    public = next(line.split(": ", 1)[1] for line in out.splitlines() if line.startswith("# public key: "))
    return out, public


def ssh_keygen(directory: Path, kind: str) -> tuple[Path, str]:
    """An unencrypted OpenSSH key: (private key path, public key line)."""
    path = directory / f"id_{kind}"
    subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", "test@vesk", "-f", str(path)], check=True)
    return path, path.with_suffix(".pub").read_text().strip()


def encrypt(plaintext: Text, recipients: list[str]) -> str:
    """Base64 of a binary age file encrypted to `recipients` by `age`."""
    data = plaintext.encode() if isinstance(plaintext, str) else plaintext
    args = ["age", "-e"] + [arg for r in recipients for arg in ("-r", r)]
    out = subprocess.run(args, input=data, check=True, capture_output=True).stdout
    return base64.b64encode(out).decode()


@dataclass
class Secret:
    shared: Optional[Text] = None                           # to every recipient
    scoped: dict[str, Text] = field(default_factory=dict)   # public key -> value
    grouped: dict[str, tuple[Text, list[str]]] = field(default_factory=dict)  # group -> (value, to)
    tags: list[str] = field(default_factory=list)
    in_schema: bool = True
    shared_to: Optional[list[str]] = None                    # other recipients for `shared`


@dataclass
class VaultSpec:
    recipients: list[str]
    secrets: dict[str, Secret] = field(default_factory=dict)
    policy: Optional[list[str]] = None
    groups: dict[str, list[str]] = field(default_factory=dict)
    grants: dict[str, dict] = field(default_factory=dict)
    meta_to: Optional[list[str]] = None      # recipients of the meta (default: all)
    mac_key: bytes = field(default_factory=lambda: os.urandom(32))
    signer: Optional[str] = None
    signing_key: object = None
    signers: dict[str, str] = field(default_factory=dict)

    def document(self) -> dict:
        doc = {"version": "2.0", "created": "2026-01-01", "vault_name": "test", "repo": "",
               "recipients": list(self.recipients), "schema": {}, "secrets": {}, "meta": ""}
        if self.policy is not None:
            doc["policy"] = {"agent_allow_tags": list(self.policy)}
        for name, s in self.secrets.items():
            if s.in_schema:
                doc["schema"][name] = {"description": "", "tags": list(s.tags)}
            doc["secrets"][name] = {
                "shared": encrypt(s.shared, s.shared_to or self.recipients) if s.shared is not None else "",
                "scoped": {k: encrypt(v, [k]) for k, v in s.scoped.items()},
                "grouped": {g: encrypt(v, to) for g, (v, to) in s.grouped.items()},
            }
        return doc

    def meta(self, doc: dict) -> dict:
        meta = {"recipients": {}, "mac": "", "signers": dict(self.signers),
                "groups": self.groups, "grants": self.grants}
        return vaultlib.seal_meta(doc, meta, mac_key=self.mac_key, signer=self.signer, signing_key=self.signing_key)


def write_vault(path: Path, spec: VaultSpec, *, doc: Optional[dict] = None, meta: Optional[dict] = None,
                meta_text: Optional[bytes] = None, meta_field: Optional[str] = None) -> None:
    """Writes the vault file; a given `doc`, `meta`, meta plaintext or raw meta member as it is."""
    doc = dict(doc) if doc is not None else spec.document()
    if meta is None:
        meta = spec.meta(doc)
    plain = meta_text if meta_text is not None else json.dumps(meta).encode()
    doc["meta"] = encrypt(plain, spec.meta_to or spec.recipients) if meta_field is None else meta_field
    Path(path).write_text(json.dumps(doc, indent=2))


def grant(pubkey: str, expires_at: str = "") -> dict:
    return {"pubkey": pubkey, "scope": ["*"], "issued_at": "2026-01-01T00:00:00Z",
            "expires_at": expires_at, "issuer": "lead"}
