#!/usr/bin/env python3
"""k4471-cli.exe under Wine programs the simulated target over a network port.

The target (native k4471-sim) listens on the loopback; the command line reaches
it as rfc2217://127.0.0.1:PORT and as tcp://127.0.0.1:PORT, programs it,
launches the application and waits for the line it prints (--expect). Each run
must end with exit code 0, say that the application answered and leave the
image in the target's flash. The image holds 0xFF in its data, in the first
block's address and in the last block's count.

  net_cli_wintest.py WINE_RUN K4471_SIM K4471_CLI_EXE
"""
import os
import shutil
import subprocess
import sys
import tempfile

from loopback_sim import start_loopback_sim

ADDRESS = 0xFF00
IMAGE = bytes(0xFF if i % 3 else (i // 3) & 0xFF for i in range(4 * 256 + 255))
APP_TEXT = "app up on the network"
EXPECTED = "app up"


def start_sim(sim, work, rfc2217):
    """The simulated target on a free loopback port: (process, port)."""
    started = start_loopback_sim(sim, work, ["--app-text", APP_TEXT] +
                                 (["--rfc2217"] if rfc2217 else []))
    if not started:
        sys.exit("k4471-sim did not listen")
    return started


def program_once(wine_run, sim, cli, work, rfc2217):
    """Programs the image over one kind of network port, launches it and waits
    for its line; the failures found."""
    flash_path = os.path.join(work, "flash.bin")
    if os.path.exists(flash_path):
        os.unlink(flash_path)
    process, port = start_sim(sim, work, rfc2217)
    url = ("rfc2217://" if rfc2217 else "tcp://") + "127.0.0.1:%d" % port
    image = "Z:" + os.path.join(work, "image.bin").replace("/", "\\")
    try:
        run = subprocess.run([wine_run, "--timeout", "50", cli, "program", image, "--format", "bin",
                              "--address", "0x%X" % ADDRESS, "--port", url, "--wait", "20",
                              "--launch", "--expect", EXPECTED, "--expect-timeout", "20"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=60)
    finally:
        process.terminate()
        process.wait()
    print(run.stdout)
    failures = []
    if run.returncode != 0:
        failures.append("%s: exit code %d" % (url, run.returncode))
    if 'The application answered: "%s' % EXPECTED not in run.stdout:
        failures.append("%s: the application's answer was not seen" % url)
    flash = b""
    if os.path.exists(flash_path):
        with open(flash_path, "rb") as f:
            flash = f.read()
    if flash[ADDRESS:ADDRESS + len(IMAGE)] != IMAGE:
        failures.append("%s: the flash does not hold the image" % url)
    return failures


def main():
    wine_run, sim, cli = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="k4471-net-wintest.")
    try:
        with open(os.path.join(work, "image.bin"), "wb") as f:
            f.write(IMAGE)
        failures = []
        for rfc2217 in (True, False):
            failures += program_once(wine_run, sim, cli, work, rfc2217)
    finally:
        shutil.rmtree(work)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("programmed and checked the application over rfc2217:// and tcp://")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
