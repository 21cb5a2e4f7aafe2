"""The simulated target (native k4471-sim) on a free loopback port, for the
Windows tests that reach it as a network port (tcp:// or rfc2217://)."""
import os
import re
import subprocess


def start_loopback_sim(sim, work, extra):
    """k4471-sim with its link, flash file and ARGS in `extra`, listening on
    127.0.0.1: (process, port), or None when it did not listen."""
    args = [sim, "--link", os.path.join(work, "board.tty"), "--call-ms", "50",
            "--memory-out", os.path.join(work, "flash.bin"), "--listen", "127.0.0.1:0"] + extra
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    for line in process.stdout:
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if found:
            return process, int(found.group(1))
    process.kill()
    process.wait()
    return None
