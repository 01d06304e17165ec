"""Every entry of the native module under random malformed input, and the leak check.

Both run in a fresh interpreter, so that a crash fails the test instead of ending the run;
`fuzz_entries.py` holds the table of entries. A failure prints the seed, which replays it:
    python tests/python/fuzz_entries.py fuzz --seed N --seconds S --trace
(scripts/fuzz_sanitized.sh runs the same fuzzer against a sanitized build.)
"""
import os
import subprocess
import sys
from pathlib import Path

FUZZER = Path(__file__).with_name("fuzz_entries.py")


def run_fuzzer(*args, timeout):
    done = subprocess.run([sys.executable, str(FUZZER), *args], capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr[-4000:]


def test_fuzz_every_entry():
    seed = str(int.from_bytes(os.urandom(4), "little"))
    status, output = run_fuzzer("fuzz", "--seconds", "20", "--seed", seed, timeout=600)
    assert status == 0, output
    assert f"seed {seed}" in output.splitlines()[-1], output


def test_no_entry_leaks_per_call():
    # 20,000 calls per entry on one valid and two invalid inputs, after a warm-up.
    status, output = run_fuzzer("leaks", "--calls", "20000", timeout=600)
    assert status == 0, output
    assert "solve_exact_raw" in output and "LEAK" not in output, output
