import os
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from support import vaults  # noqa: E402


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    """Every test: its own HOME and working directory, no VESK_* variables."""
    for name in list(os.environ):
        if name.startswith("VESK_"):
            monkeypatch.delenv(name)
    monkeypatch.delenv("USERPROFILE", raising=False)
    home, work = tmp_path / "home", tmp_path / "work"
    for d in (home, work):
        d.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(work)


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """Keys made once per session: two X25519 and an SSH Ed25519."""
    if not all(shutil.which(t) for t in ("age", "age-keygen", "ssh-keygen")):
        reason = "age, age-keygen or ssh-keygen missing"
        # Under CI=true a skip would mean the install step went wrong: fail instead.
        if os.environ.get("CI") == "true":
            pytest.fail(f"{reason} (CI=true: a missing tool fails the run)", pytrace=False)
        pytest.skip(reason)
    d = tmp_path_factory.mktemp("keys")
    k = {"me": vaults.age_keygen(), "other": vaults.age_keygen()}
    k["ed25519"] = vaults.ssh_keygen(d, "ed25519")
    return k
