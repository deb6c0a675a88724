"""A plugin identity end to end: the real `age` encrypts to the test plugin's
recipient, and the module decrypts through the plugin protocol."""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vesk
from support.vaults import Secret, VaultSpec, write_vault

PLUGIN_DIR = Path(__file__).resolve().parents[1] / "plugin"


@pytest.fixture
def plugin_key(monkeypatch, keys):
    monkeypatch.setenv("PATH", f"{PLUGIN_DIR}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("PINENTRY_PROGRAM", str(PLUGIN_DIR / "pinentry-vesktest"))
    text = subprocess.run(["age-plugin-vesktest", "--generate"], check=True, capture_output=True,
                          text=True).stdout
    recipient = next(line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("# Recipient: "))
    monkeypatch.setenv("VESK_KEY", text)
    return recipient


def test_plugin_failure_is_shown_as_the_decryption_error(plugin_key, monkeypatch, capfd):
    """Not as "not a recipient" or "listed but cannot decrypt"; its text not UTF-8."""
    write_vault(".vesk", VaultSpec(recipients=[plugin_key], secrets={"A": Secret(shared="a")}))
    monkeypatch.setenv("VESKTEST_MODE", "msg")  # first: its message, on standard error at each decryption
    monkeypatch.setenv("TMPDIR", "")  # counts as unset, as for mkstemp and the shell
    assert (vesk.get("A"), capfd.readouterr().err) == ("a", "Touch your vesktest token\n" * 2)  # meta and A
    monkeypatch.setenv("VESKTEST_MODE", "bad-utf8")
    with pytest.raises(RuntimeError) as e:
        vesk.load()
    assert str(e.value) == ("decryption failed: '\u2068age-plugin-vesktest\u2069' couldn't use an identity: "
                            "\u2068token \ufffd\ufffd not present\u2069")


# Run in a child process: the load holds the interpreter lock, so the SIGINT
# comes from outside. The child reports what was left behind.
INTERRUPTED_LOAD = r"""
import json, os, signal, time
import vesk
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
fds = sorted(os.listdir("/proc/self/fd"))
try:
    vesk.load()
    outcome = "loaded"
except BaseException as e:
    outcome = "KeyboardInterrupt" if isinstance(e, KeyboardInterrupt) else repr(e)
caught = time.monotonic()
try:
    os.waitpid(-1, os.WNOHANG)
    children = "left"
except ChildProcessError:
    children = "none"
print(json.dumps([outcome, caught, children, sorted(os.listdir("/proc/self/fd")) == fds,
                  os.listdir(os.environ["TMPDIR"])]))
"""


@pytest.mark.parametrize("env", [
    {"VESKTEST_MODE": "hang"},
    {"VESKTEST_MODE": "long-msg"},                                           # shown on a stderr nobody reads
    {"VESKTEST_MODE": "grandchild"},
    {"VESKTEST_MODE": "no-read", "VESKTEST_PINENTRY_ANSWER": "7" * 60000},  # the answer fills the pipe
    {"VESKTEST_MODE": "secret", "VESKTEST_PINENTRY_ANSWER": "hang"},
    {"VESKTEST_MODE": "secret", "VESKTEST_PINENTRY_ANSWER": ""},            # asked again and again
    {},                                                                      # a FIFO vault that stays silent
], ids=["hang", "stderr-full", "grandchild", "no-read", "pinentry-hang", "pinentry-empty", "silent-fifo-vault"])
def test_ctrl_c_ends_a_plugin_wait(plugin_key, tmp_path, env):
    scratch, mark = tmp_path / "tmp", tmp_path / "mark"
    scratch.mkdir()
    silent = None
    if env:
        write_vault(".vesk", VaultSpec(recipients=[plugin_key], secrets={"A": Secret(shared="a")}))
    else:
        os.mkfifo(".vesk")
        silent = os.open(".vesk", os.O_RDWR)  # a writer that never writes
        mark.write_text("")
    child_env = {**os.environ, **env, "TMPDIR": str(scratch), "VESKTEST_MARK": str(mark),
                 "PYTHONPATH": os.pathsep.join([str(Path(vesk.__file__).parent), os.environ.get("PYTHONPATH", "")])}
    # Standard error is read only once the child has ended, as nobody reads it while it waits.
    err_r, err_w = os.pipe()
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_LOAD], env=child_env, stdout=subprocess.PIPE,
                            stderr=err_w, text=True)
    os.close(err_w)
    os.set_blocking(err_r, False)
    try:
        deadline = time.monotonic() + 20
        while not mark.exists() and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.01)
        time.sleep(0.3)  # let the load settle into its wait
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
        err = os.read(err_r, 1 << 16).decode(errors="replace")
    finally:
        os.close(err_r)
        proc.kill()
        if mark.exists() and mark.read_text():
            os.kill(int(mark.read_text()), signal.SIGKILL)
        if silent is not None:
            os.close(silent)
    outcome, caught, children, fds_kept, tmp = json.loads(out)
    assert outcome == "KeyboardInterrupt", err
    assert caught - sent < 1.0
    assert (children, fds_kept, tmp) == ("none", True, [])


# A signal every 50 µs: a relative sleep restarted after each signal may never
# end, and reaping the pinentry once it has answered waits for it to exit.
LOAD_UNDER_TIMER = r"""
import signal
import vesk
signal.signal(signal.SIGALRM, lambda *_: None)
signal.setitimer(signal.ITIMER_REAL, 50e-6, 50e-6)
vesk.load()
signal.setitimer(signal.ITIMER_REAL, 0)
print("loaded")
"""


def test_plugin_load_with_pinentry_ends_under_a_signal_storm(plugin_key):
    write_vault(".vesk", VaultSpec(recipients=[plugin_key], secrets={"A": Secret(shared="a")}))
    env = {**os.environ, "VESKTEST_MODE": "secret",
           "PYTHONPATH": os.pathsep.join([str(Path(vesk.__file__).parent), os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-c", LOAD_UNDER_TIMER], env=env, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout) == (0, "loaded\n"), done.stderr
