"""The Python surface: names, signatures, argument errors, the Vault class
and the agent policy at the moment a value leaves."""
import inspect

import pytest

import vesk
from support.vaults import Secret, VaultSpec, grant, write_vault

EM = "\u2014"


@pytest.mark.valgrind
def test_module_names_and_signatures():
    assert vesk.__all__ == ["Vault", "load", "get", "export_all", "has_identity"]
    assert str(inspect.signature(vesk.get)) == '(key, vault_path=\'.vesk\')'
    assert str(inspect.signature(vesk.load)) == '(vault_path=\'.vesk\')'
    assert str(inspect.signature(vesk.has_identity)) == "()"
    assert str(inspect.signature(vesk.Vault.get)) == "(self, /, key)"
    assert (vesk.Vault.__module__, vesk.Vault.__qualname__) == ("builtins", "Vault")


@pytest.mark.parametrize("call, names", [
    (lambda: vesk.get(1, vault_path=2), "key"),
    (lambda: vesk.get("A", vault_path=None), "vault_path"),
    (lambda: vesk.get(b"A"), None),
    (lambda: vesk.load(".vesk", "extra"), None),
    (lambda: vesk.export_all(path=".vesk"), None),
    (lambda: vesk.has_identity(None), None),
    (lambda: vesk.Vault(), None),
    (lambda: type("Sub", (vesk.Vault,), {}), None),
])
def test_wrong_arguments_raise_type_error(call, names):
    with pytest.raises(TypeError, match=names):
        call()


@pytest.mark.valgrind
def test_vault_reads_the_schema_not_the_values(keys, monkeypatch):
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    write_vault(".vesk", VaultSpec(recipients=[keys["me"][1], keys["other"][1]], secrets={
        "b": Secret(shared="lower"), "B": Secret(shared="upper"), "NOVALUE": Secret(),
        "HIDDEN": Secret(shared="h", in_schema=False)}))
    loaded = vesk.load()
    assert loaded.keys() == ["B", "NOVALUE", "b"]
    assert (len(loaded), bool(loaded), repr(loaded)) == (3, True, "Vault(3 secrets, 2 recipients)")
    assert "NOVALUE" in loaded and "HIDDEN" not in loaded and "b " not in loaded
    assert loaded.get("NOVALUE") is None and loaded.get("HIDDEN") == "h"
    assert loaded["B"] == "upper" and loaded.get(key="b") == "lower"
    with pytest.raises(RuntimeError) as e:
        loaded["NOVALUE"]
    assert e.value.args == ("key not found: NOVALUE",)
    assert loaded.export() == {"B": "upper", "b": "lower", "HIDDEN": "h"}


def test_policy_applies_when_a_value_leaves(keys, monkeypatch):
    """Which names are asked for at get and export, and the refusal texts; more rows in policy_test."""
    monkeypatch.setenv("VESK_KEY", keys["me"][0])
    me = keys["me"][1]
    secrets = {"A": Secret(shared="a", tags=["ci"]), "B": Secret(shared="b", tags=["db"]),
               "C": Secret(shared="c", tags=["deploy", "x"]), "D": Secret(shared="d"), "E": Secret(tags=["db"])}
    write_vault(".vesk", VaultSpec(recipients=[me], policy=["ci", "deploy"], secrets=secrets))
    v = vesk.load()
    assert v.get("B") == "b"                     # operator: no limit
    monkeypatch.setenv("VESK_SELF_SCOPE", " True ")
    assert v.get("A") == "a" and v.get("C") == "c" and v.get("E") is None
    for read in (v.get, v.__getitem__, vesk.get):  # a forbidden name is refused by every single read
        pytest.raises(RuntimeError, read, "B").match(r"^policy forbids B in agent mode \(allowed tags: ci, deploy\)")
    with pytest.raises(RuntimeError) as e:
        v.export()
    assert str(e.value) == (f"policy forbids B, D in agent mode (allowed tags: ci, deploy) {EM} tag the key "
                            "with `vesk describe` or update the policy with `vesk policy`")
    monkeypatch.delenv("VESK_SELF_SCOPE")        # a grant holder is an agent without the switch
    write_vault(".vesk", VaultSpec(recipients=[me], policy=[], secrets=secrets,
                                   grants={"bot": grant(me, "2999-01-01T00:00:00Z")}))
    with pytest.raises(RuntimeError) as e:
        vesk.export_all()
    assert str(e.value) == (f"policy forbids A, B, C, D in agent mode (allowed tags: none {EM} this vault's policy "
                            f"locks agents out entirely) {EM} tag the key with `vesk describe` or update the policy "
                            "with `vesk policy`")

