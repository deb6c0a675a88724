"""A plugin identity end to end: the real `age` encrypts to the test plugin's
recipient, and the module decrypts through the plugin protocol."""
import os
import subprocess
from pathlib import Path

import pytest

import vesk
from support.vaults import Secret, VaultSpec, write_vault

PLUGIN_DIR = Path(__file__).resolve().parents[1] / "plugin"


@pytest.fixture
def plugin_key(monkeypatch, keys):
    monkeypatch.setenv("PATH", f"{PLUGIN_DIR}{os.pathsep}{os.environ['PATH']}")
    text = subprocess.run(["age-plugin-vesktest", "--generate"], check=True, capture_output=True,
                          text=True).stdout
    recipient = next(line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("# Recipient: "))
    monkeypatch.setenv("VESK_KEY", text)
    return recipient


def test_plugin_identity_reads_values(plugin_key, keys):
    write_vault(".vesk", VaultSpec(recipients=[plugin_key, keys["other"][1]],
                                   secrets={"A": Secret(shared="from plugin", scoped={plugin_key: "mine"})}))
    assert vesk.get("A") == "mine"
    assert vesk.export_all() == {"A": "mine"}


def test_plugin_failure_is_shown_as_the_decryption_error(plugin_key, keys, monkeypatch):
    write_vault(".vesk", VaultSpec(recipients=[plugin_key], secrets={"A": Secret(shared="a")}))
    monkeypatch.setenv("VESKTEST_MODE", "error")
    with pytest.raises(RuntimeError) as e:
        vesk.load()
    message = str(e.value)
    assert message.startswith("decryption failed: ")
    assert "token not present" in message
    assert "not a recipient" not in message and "listed" not in message
