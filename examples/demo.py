"""Reads the demo vault: every value, then the same vault as an agent would."""
import os
from pathlib import Path

import vesk

HERE = Path(__file__).resolve().parent
VAULT = str(HERE / "demo.vesk")

# A real deployment keeps the key in a 0600 file or the environment; the demo
# key travels with the repository, so hand it over through VESK_KEY.
os.environ["VESK_KEY"] = (HERE / "demo.key").read_text()

vault = vesk.load(VAULT)
print(repr(vault))
for name in vault.keys():
    print(f"  {name:<11} = {vault.get(name)}")

print("one-liner:", vesk.get("DB_URL", vault_path=VAULT))

# An agent may read only keys tagged with the policy's allowed tags ("ci").
os.environ["VESK_SELF_SCOPE"] = "1"
print("as an agent, API_TOKEN =", vault.get("API_TOKEN"))
try:
    vault.get("DB_URL")
except RuntimeError as refusal:
    print("as an agent, DB_URL   ->", refusal)
