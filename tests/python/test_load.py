"""The vault load end to end through the installed module: every identity
kind, every refusal, and the order of value resolution."""
import os
import stat
import subprocess
import threading
from pathlib import Path

import pytest

import vesk
from support import vaultlib
from support.vaults import Secret, VaultSpec, grant, write_vault

NOT_RECIPIENT = ("decryption failed: you are not a recipient of this vault. Run `vesk circle` "
                 "to check, or ask a recipient to authorize you")
TAMPERED = "integrity check failed: "
CORRUPT = TAMPERED + "vault meta is corrupt — vault may have been tampered with"


def use_age(monkeypatch, keys, who="me"):
    monkeypatch.setenv("VESK_KEY", keys[who][0])
    return keys[who][1]


# --- the main road with an SSH key -----------------------------------------------------------

def test_ssh_identity_reads_its_values(keys, monkeypatch):
    """Age keys: every other test; SSH key kinds: the C++ decryption tests."""
    path, me = keys["ed25519"]
    monkeypatch.setenv("VESK_KEY_FILE", str(path))
    write_vault(".vesk", VaultSpec(recipients=[keys["other"][1], me],
                                   secrets={"DB_URL": Secret(shared="postgres://db")}))
    assert vesk.get("DB_URL") == "postgres://db"
    assert vesk.export_all() == {"DB_URL": "postgres://db"}


# --- every refusal of the load, one row each -------------------------------------------------

def refusal_rows(keys):
    """Each row: the vault to write, write_vault's overrides, the load's message."""
    me, other = keys["me"][1], keys["other"][1]
    base = VaultSpec(recipients=[me, other], secrets={"A": Secret(shared="a")})
    doc = base.document()
    good = base.meta(doc)["mac"]
    bad = good[:-1] + ("0" if good[-1] != "0" else "1")
    signer_line = vaultlib.ssh_ed25519_line(vaultlib.ed25519_key(bytes(32)), "ci")
    return {
        "no meta": (base, {"meta_field": ""},
                    TAMPERED + "vault has secrets but no meta — vault may have been tampered with"),
        "meta not base64": (base, {"meta_field": "@@@"}, CORRUPT),
        "meta not json": (base, {"meta_text": b"{not json"}, CORRUPT),
        "not a recipient": (VaultSpec(recipients=[other]), {}, NOT_RECIPIENT),
        "listed but cannot decrypt": (VaultSpec(recipients=[me, other], meta_to=[other]), {},
                                      TAMPERED + "your key is listed as a recipient but cannot decrypt the vault "
                                      "meta — vault may have been tampered with"),
        "empty mac": (base, {"meta_text": b'{"recipients":{},"mac":""}'},
                      TAMPERED + "vault has secrets but MAC is empty — vault may have been tampered with"),
        "mac mismatch": (base, {"doc": doc, "meta": {**base.meta(doc), "mac": bad}},
                         f"{TAMPERED}vault may have been tampered with (expected {good}, got {bad})"),
        "bad signature": (VaultSpec(recipients=[me, signer_line], signer=signer_line,
                                    signing_key=vaultlib.ed25519_key(b"\1" * 32)), {},
                          TAMPERED + "vault signature is invalid — it may have been tampered with, or a signer's "
                          "verifying key changed. Run `vesk verify` for details"),
        "shared value of another": (VaultSpec(recipients=[me, other], secrets={
            "A": Secret(shared="a", shared_to=[other])}), {}, NOT_RECIPIENT),
        "invalid utf-8": (VaultSpec(recipients=[me], secrets={"BIN": Secret(shared=b"\xff")}), {},
                          "invalid UTF-8 in secret BIN: invalid utf-8 sequence of 1 bytes from index 0"),
        "expired grant": (VaultSpec(recipients=[me], grants={"ci": grant(me, "2001-01-01T00:00:00Z")}), {},
                          "grant ci expired 2001-01-01T00:00:00Z — renew with `vesk agent grant --renew` "
                          "or close it with `vesk agent revoke ci`"),
    }


@pytest.mark.valgrind
def test_load_refusals(keys, monkeypatch):
    use_age(monkeypatch, keys)
    for row, (spec, overrides, message) in refusal_rows(keys).items():
        write_vault(".vesk", spec, **overrides)
        with pytest.raises(RuntimeError) as e:
            vesk.load()
        assert (e.value.args, e.value.__cause__) == ((message,), None), row
    pytest.raises(RuntimeError, vesk.load, "gone.vesk").match("^vault file not found. Run `vesk init` to create one$")
    write_vault(".vesk", VaultSpec(recipients=[keys["me"][1]]), meta_field="")  # no secrets: no meta needed
    assert vesk.load().export() == {}


def test_key_errors_come_before_the_vault_file(monkeypatch):
    monkeypatch.setenv("VESK_KEY", "not a key")
    with pytest.raises(RuntimeError) as e:
        vesk.load("missing.vesk")
    assert str(e.value).startswith("invalid key: ")
    assert str(e.value).endswith(
        "\nfor an age key, set VESK_KEY\nfor an SSH key, set VESK_KEY_FILE=~/.ssh/id_ed25519")


# --- grants, scoped and group values -----------------------------------------------------------

@pytest.mark.valgrind
def test_scoped_over_group_over_shared(keys, monkeypatch):
    """As a grant holder, who also skips the values it cannot read."""
    me = use_age(monkeypatch, keys)
    other = keys["other"][1]
    secrets = {
        "S": Secret(shared="shared", scoped={me: "mine", other: "theirs"}, grouped={"ops": ("group", [me])}),
        "G": Secret(shared="shared", grouped={"ops": ("group", [me]), "dev": ("hidden", [other]), "pa": ("pa", [me])}),
        "O": Secret(shared="shared", scoped={other: "theirs"}),
        "ONLY_GROUP": Secret(grouped={"zz": ("z", [me])}),
        "ONLY_SCOPED": Secret(scoped={me: "s"}),
        "BAD_SCOPED": Secret(shared="ok", scoped={me: b"\xff"}),
        "THEIRS": Secret(shared="t", shared_to=[other]),
    }
    write_vault(".vesk", VaultSpec(recipients=[me, other], secrets=secrets, groups={"ops": [other]},
                                   grants={"ci": grant(me, "2999-01-01T00:00:00Z")}))
    expected = {"S": "mine", "G": "group", "O": "shared", "ONLY_GROUP": "z", "ONLY_SCOPED": "s",
                "BAD_SCOPED": "ok"}
    assert vesk.export_all() == expected
    v = vesk.load()
    assert {k: v.get(k) for k in expected} == expected


# --- signer pins through the load --------------------------------------------------------------

def _signed_spec(keys, seed, signer=None, signed=True):
    """One value, signed by the Ed25519 key of `seed` as `signer`: by default its SSH line;
    an age recipient gets its verifying key from `signers`."""
    key = vaultlib.ed25519_key(seed * 32)
    signers = {signer: vaultlib.verifying_key_b64(key)} if signer else {}
    signer = signer or vaultlib.ssh_ed25519_line(key, "ci")
    return VaultSpec(recipients=[keys["me"][1], signer], secrets={"A": Secret(shared="a")},
                     signer=signer if signed else None, signing_key=key, signers=signers)


def test_signer_pins_through_the_load(keys, monkeypatch):
    use_age(monkeypatch, keys)
    signer = keys["other"][1]
    write_vault(".vesk", _signed_spec(keys, b"\2", signer))
    assert vesk.get("A") == "a"              # first load pins the signer
    write_vault(".vesk", _signed_spec(keys, b"\2", signer, signed=False))
    assert vesk.get("A") == "a"              # noted, not refused
    monkeypatch.setenv("VESK_STRICT", "yes")
    with pytest.raises(RuntimeError) as e:
        vesk.load()
    assert str(e.value) == (
        TAMPERED + "vault .vesk was signed before and is now unsigned — the signature was stripped, or a "
        "merge left it unsigned. Refusing under VESK_STRICT. Review `git log -p -- .vesk` and re-sign "
        "after checking `vesk diff`; if you deliberately moved to a non-signing key, clear the pin under "
        "~/.config/vesk/signer-pins/ or set VESK_NO_SIGNER_PIN=1.")
    monkeypatch.delenv("VESK_STRICT")
    write_vault(".vesk", _signed_spec(keys, b"\3", signer))
    with pytest.raises(RuntimeError) as e:
        vesk.load()
    assert str(e.value).startswith(TAMPERED + f"signer {signer}'s verifying key changed since first seen")
    monkeypatch.setenv("VESK_NO_SIGNER_PIN", "")
    assert vesk.get("A") == "a"


def test_linked_worktree_uses_the_main_worktrees_key_file(keys, monkeypatch, tmp_path):
    main, linked = tmp_path / "repo", tmp_path / "linked"
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@t", "-c", "init.defaultBranch=main"]
    subprocess.run(git + ["init", "-q", str(main)], check=True)
    subprocess.run(git + ["-C", str(main), "commit", "-q", "--allow-empty", "-m", "init"], check=True)
    subprocess.run(git + ["-C", str(main), "worktree", "add", "-q", str(linked)], check=True)

    def key_file(root, who):
        path = _config("keys", vault=root / "deploy/.vesk")  # the same path below each worktree root
        _at(path, lambda p: p.write_text(keys[who][0]))
        path.chmod(0o600)
        return path

    mains = key_file(main, "me")
    (linked / "deploy").mkdir()
    monkeypatch.chdir(linked / "deploy")
    other = keys["other"][1]
    write_vault(".vesk", VaultSpec(recipients=[keys["me"][1], other],
                                   secrets={"A": Secret(shared="shared", scoped={other: "theirs"})}))
    assert vesk.has_identity() is True
    assert vesk.get("A") == "shared"
    assert os.listdir(mains.parent) == [mains.name]
    mains.chmod(0o640)  # its failure is final, as for the vault's own key file
    with pytest.raises(RuntimeError) as e:
        vesk.load()
    assert str(e.value) == f"key file is readable by others (mode 640). Run: chmod 600 {mains}"
    key_file(linked, "other")  # the worktree's own key file comes first
    assert vesk.get("A") == "theirs"


# --- files that are not plain files ------------------------------------------------------------

def _on_small_stack(fn):
    """fn() on a thread whose whole stack is 32 KiB, the least Python allows."""
    done = []
    old = threading.stack_size(32768)
    try:
        thread = threading.Thread(target=lambda: done.append(fn()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return done[0]


@pytest.mark.parametrize("run", [lambda fn: fn(), _on_small_stack], ids=["main thread", "small stack"])
def test_fifo_vault_waits_for_a_late_writer(keys, monkeypatch, run):
    use_age(monkeypatch, keys)
    write_vault("plain.vesk", VaultSpec(recipients=[keys["me"][1]], secrets={"A": Secret(shared="a")}))
    os.mkfifo(".vesk")
    # Another process writes late: the load holds the interpreter lock, so no thread of ours could.
    writer = subprocess.Popen(["sh", "-c", "sleep 0.5; cat plain.vesk > .vesk"])
    try:
        assert run(lambda: vesk.get("A")) == "a"
        assert writer.wait() == 0
    finally:
        writer.kill()  # blocked for ever on the FIFO when the load failed first


def _config(sub, suffix="", vault=".vesk"):
    return Path(os.environ["HOME"], ".config/vesk", sub, vaultlib.vault_hash(os.path.join(os.getcwd(), vault)) + suffix)


def _at(path, make):
    path.parent.mkdir(parents=True, exist_ok=True)
    make(path)


# Each row: what to set up, the vault path, the load's error (None: it loads) and
# has_identity(). Nothing may block, read without end or raise from has_identity.
NOT_REGULAR = {
    "vault is a device": (lambda k, m: use_age(m, k), "/dev/zero",
                          "vault I/O error: vault file is not a regular file: /dev/zero", True),
    "VESK_KEY_FILE is a FIFO": (lambda k, m: (os.mkfifo("key", 0o600), m.setenv("VESK_KEY_FILE", "key")), ".vesk",
                                "VESK_KEY_FILE is not a regular file: key", False),
    "key file is a FIFO": (lambda k, m: _at(_config("keys"), lambda p: os.mkfifo(p, 0o600)), ".vesk",
                           "key file is not a regular file: {key_file}", False),
    ".git is a FIFO": (lambda k, m: os.mkfifo(".git"), ".vesk", "VESK_KEY not set", False),
    "pin is a FIFO": (lambda k, m: (use_age(m, k), _at(_config("signer-pins", ".json"), os.mkfifo)), ".vesk", None, True),
}


@pytest.mark.parametrize("row", list(NOT_REGULAR))
def test_files_that_are_not_regular(row, keys, monkeypatch):
    setup, vault_path, error, identity = NOT_REGULAR[row]
    write_vault(".vesk", _signed_spec(keys, b"\5"))
    setup(keys, monkeypatch)
    assert vesk.has_identity() is identity
    if error is None:
        assert vesk.get("A", vault_path) == "a"
    else:
        with pytest.raises(RuntimeError) as e:
            vesk.load(vault_path)
        assert str(e.value).split("\n")[0] == error.format(key_file=_config("keys"))


def test_only_our_folders_are_private(keys, monkeypatch, tmp_path):
    """~/.config gets the default mode when made and is never changed; our own
    folders are made 0700 and narrowed to it when found open."""
    write_vault(".vesk", _signed_spec(keys, b"\6"))
    umask = os.umask(0)
    try:
        for sub in ("keys", "signer-pins"):  # VESK_KEY is set only for the second
            monkeypatch.setenv("HOME", str(tmp_path / sub))
            dirs = {d: tmp_path / sub / ".config" / d for d in ("", "vesk", "vesk/" + sub)}
            for config_mode in (0o777, 0o751):  # made, then found open
                if sub == "keys":
                    assert vesk.has_identity() is False  # looks for the key file
                else:
                    use_age(monkeypatch, keys)
                    assert vesk.get("A") == "a"  # pins the signer
                    _config("signer-pins", ".json").unlink()
                modes = {d: stat.S_IMODE(p.stat().st_mode) for d, p in dirs.items()}
                assert modes == {"": config_mode, "vesk": 0o700, "vesk/" + sub: 0o700}
                for d, p in dirs.items():
                    p.chmod(0o751 if d == "" else 0o777)
    finally:
        os.umask(umask)
