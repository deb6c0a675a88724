"""The Python surface: names, signatures, argument errors, the Vault class
and the agent policy at the moment a value leaves."""
import inspect

import pytest

import vesk
from support.vaults import Secret, VaultSpec, grant, write_vault

EM = "\u2014"


def test_module_names_and_signatures():
    assert vesk.__all__ == ["Vault", "load", "get", "export_all", "has_identity"]
    assert str(inspect.signature(vesk.get)) == '(key, vault_path=\'.vesk\')'
    assert str(inspect.signature(vesk.load)) == '(vault_path=\'.vesk\')'
    assert str(inspect.signature(vesk.has_identity)) == "()"
    assert vesk.load.__doc__ == "Load a vesk vault. Reads VESK_KEY from the environment."
    assert vesk.has_identity.__doc__.splitlines()[1].startswith(f"environment {EM} i.e.")
    assert str(inspect.signature(vesk.Vault.get)) == "(self, /, key)"
    assert vesk.Vault.keys.__doc__ == "List all key names."
    assert vesk.Vault.__doc__ == "A loaded and decrypted vesk vault."
    assert (vesk.Vault.__module__, vesk.Vault.__qualname__) == ("builtins", "Vault")


@pytest.mark.parametrize("call", [
    lambda: vesk.get(),
    lambda: vesk.get(None),
    lambda: vesk.get("A", None),
    lambda: vesk.get(b"A"),
    lambda: vesk.load(vault_path=1),
    lambda: vesk.load(".vesk", "extra"),
    lambda: vesk.export_all(path=".vesk"),
    lambda: vesk.has_identity(None),
    lambda: vesk.Vault(),
])
def test_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_conversion_errors_name_the_argument():
    with pytest.raises(TypeError, match="key"):
        vesk.get(1, vault_path=2)
    with pytest.raises(TypeError, match="vault_path"):
        vesk.get("A", vault_path=None)


def test_vault_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (vesk.Vault,), {})


@pytest.fixture
def loaded(keys, monkeypatch):
    me = keys["me"][1]
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    write_vault(".vesk", VaultSpec(recipients=[me, keys["other"][1]], secrets={
        "b": Secret(shared="lower"), "B": Secret(shared="upper"), "NOVALUE": Secret(),
        "HIDDEN": Secret(shared="h", in_schema=False)}))
    return vesk.load()


@pytest.mark.valgrind
def test_vault_reads_the_schema_not_the_values(loaded):
    assert loaded.keys() == ["B", "NOVALUE", "b"]
    assert (len(loaded), bool(loaded), repr(loaded)) == (3, True, "Vault(3 secrets, 2 recipients)")
    assert "NOVALUE" in loaded and "HIDDEN" not in loaded and "b " not in loaded
    assert loaded.get("NOVALUE") is None and loaded.get("HIDDEN") == "h"
    assert loaded["B"] == "upper" and loaded.get(key="b") == "lower"
    with pytest.raises(RuntimeError) as e:
        loaded["NOVALUE"]
    assert e.value.args == ("key not found: NOVALUE",)
    assert loaded.export() == {"B": "upper", "b": "lower", "HIDDEN": "h"}


@pytest.mark.parametrize("op", [
    lambda v: iter(v),
    lambda v: 1 in v,
    lambda v: v[None],
    lambda v: v.get(3),
])
def test_vault_refuses_what_it_does_not_define(loaded, op):
    with pytest.raises(TypeError):
        op(loaded)


def test_vault_has_no_instance_attributes(loaded):
    with pytest.raises(AttributeError):
        loaded.extra = 1


# --- the agent policy, applied at get and export ------------------------------------------------

def agent_vault(keys, *, policy, grants=None):
    me = keys["me"][1]
    write_vault(".vesk", VaultSpec(recipients=[me], policy=policy, grants=grants or {}, secrets={
        "A": Secret(shared="a", tags=["ci"]), "B": Secret(shared="b", tags=["db"]),
        "C": Secret(shared="c", tags=["deploy", "x"]), "D": Secret(shared="d"), "E": Secret(tags=["db"])}))
    return me


def test_policy_limits_an_agent_by_switch(keys, monkeypatch):
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    agent_vault(keys, policy=["ci", "deploy"])
    v = vesk.load()
    assert v.get("B") == "b"                     # operator: no limit
    monkeypatch.setenv("VESK_SELF_SCOPE", " True ")
    assert v.get("A") == "a" and v.get("C") == "c" and v.get("E") is None
    with pytest.raises(RuntimeError) as e:
        v.export()
    assert str(e.value) == (f"policy forbids B, D in agent mode (allowed tags: ci, deploy) {EM} tag the key "
                            "with `vesk describe` or update the policy with `vesk policy`")
    with pytest.raises(RuntimeError, match="^policy forbids B in agent mode"):
        vesk.get("B")


def test_policy_limits_a_grant_holder(keys, monkeypatch):
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    me = agent_vault(keys, policy=[], grants={"bot": grant(keys["me"][1], "2999-01-01T00:00:00Z")})
    assert me
    with pytest.raises(RuntimeError) as e:
        vesk.get("A")
    assert str(e.value).endswith(f"(allowed tags: none {EM} this vault's policy locks agents out entirely) "
                                 f"{EM} tag the key with `vesk describe` or update the policy with `vesk policy`")
    with pytest.raises(RuntimeError, match="^policy forbids A, B, C, D in agent mode"):
        vesk.export_all()


def test_agent_without_policy_reads_everything(keys, monkeypatch):
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    monkeypatch.setenv("VESK_AGENT", "1")
    agent_vault(keys, policy=None)
    assert vesk.export_all() == {"A": "a", "B": "b", "C": "c", "D": "d"}


# --- has_identity --------------------------------------------------------------------------------

def test_has_identity(monkeypatch, tmp_path):
    assert vesk.has_identity() is False
    monkeypatch.setenv("VESK_KEY", "anything")
    assert vesk.has_identity() is True
    monkeypatch.setenv("VESK_KEY", "")
    monkeypatch.setenv("VESK_KEY_FILE", str(tmp_path / "absent"))
    assert vesk.has_identity() is False


def test_type_stub_matches_the_module():
    import ast
    import pathlib
    stub = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "vesk.pyi"
    tree = ast.parse(stub.read_text())
    funcs = {n.name: [a.arg for a in n.args.args] for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert list(funcs) == vesk.__all__[1:]
    for name, params in funcs.items():
        assert params == list(inspect.signature(getattr(vesk, name)).parameters)
    vault = next(n for n in tree.body if isinstance(n, ast.ClassDef))
    methods = [n.name for n in vault.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")]
    assert methods == ["get", "export", "keys"]
