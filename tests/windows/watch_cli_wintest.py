#!/usr/bin/env python3
"""k4471-cli.exe --watch under Wine: the developer's loop with its Windows file
watch, keys and console.

The target (native k4471-sim) listens on the loopback and is reset through its
control FIFO whenever a round asks for it. Two runs:

- Without a console (standard input the null device): each change of the image
  file, written in place and then renamed over (by a file of the same size and
  time), is programmed again; Ctrl-C ends the watch with the last round's code
  and one report line a round. No keys are offered, as none can be read.
- With a console on a pseudo-terminal, the run's controlling terminal as from
  a shell, launching and monitoring: the r key programs the board again, a
  change of the file programs the new data, the application's lines are shown,
  and q ends the watch.

  watch_cli_wintest.py WINE_RUN K4471_SIM K4471_CLI_EXE
"""
import fcntl
import json
import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

from loopback_sim import start_loopback_sim

# Generous: Wine starts slowly on a loaded machine.
LIMIT_S = 60
ADDRESS = 0x4000
IMAGE_A = "00004000 01 02 03\n"
IMAGE_B = "00004000 11 12 13 14\n"
IMAGE_C = "00004000 21 22 23 24\n"


class Failed(Exception):
    pass


def start_sim(sim, work, extra):
    """The simulated target on a free loopback port: (process, port)."""
    started = start_loopback_sim(
        sim, work, ["--control", os.path.join(work, "board.control")] + extra)
    if not started:
        raise Failed("k4471-sim did not listen")
    return started


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path, errors="replace") as f:
        return f.read()


def wait_for_flash(work, data, what):
    """Waits until the sim's flash holds data at ADDRESS (the sim writes it
    once the programming has ended)."""
    path = os.path.join(work, "flash.bin")
    deadline = time.monotonic() + LIMIT_S
    while True:
        with open(path, "rb") as f:
            if f.read()[ADDRESS:ADDRESS + len(data)] == data:
                return
        if time.monotonic() > deadline:
            raise Failed("the flash does not hold " + what)
        time.sleep(0.05)


def wait_for(path, text, times=1):
    """Waits until the file holds text the given number of times."""
    deadline = time.monotonic() + LIMIT_S
    while read(path).count(text) < times:
        if time.monotonic() > deadline:
            raise Failed("no %r (%d times) in:\n%s" % (text, times, read(path)))
        time.sleep(0.05)


def reset_when_asked(work, log, round_number):
    """The round waits for the board's call: the board is reset by hand."""
    wait_for(log, "reset the target now", round_number)
    write(os.path.join(work, "board.control"), "reset\n")


def end(process):
    try:
        return process.wait(timeout=LIMIT_S)
    except subprocess.TimeoutExpired:
        raise Failed("the watch did not end")


def stop(process):
    """A run left running by a failure: wine-run ends it and cleans up (its
    Wine server, its display); killed only when that fails."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=LIMIT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def watch_command(wine_run, cli, work, port, extra):
    image = windows_path(os.path.join(work, "app.hex"))
    return [wine_run, "--timeout", "150", cli, "program", image, "--port",
            "tcp://127.0.0.1:%d" % port, "--watch", "--settle-ms", "300"] + extra


def without_console(wine_run, cli, work, port):
    """Changes written in place and renamed over, each programmed; Ctrl-C ends."""
    image = os.path.join(work, "app.hex")
    out, log = os.path.join(work, "report.txt"), os.path.join(work, "log.txt")
    write(image, IMAGE_A)
    with open(out, "w") as stdout, open(log, "w") as stderr:
        process = subprocess.Popen(watch_command(wine_run, cli, work, port, ["--report", "-"]),
                                   stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
    try:
        wait_for(log, "Round 1: programmed")
        wait_for(log, "for a change")
        if "(Ctrl-C to end)" not in read(log):
            raise Failed("keys offered without a console:\n" + read(log))
        write(image, IMAGE_B)
        reset_when_asked(work, log, 2)
        wait_for(log, "Round 2: programmed")
        wait_for_flash(work, bytes([0x11, 0x12, 0x13, 0x14]), "the file written in place")
        # Renamed over with the size and the times of the file it replaces,
        # as a copy that keeps its times does: only its identity differs.
        write(image + ".tmp", IMAGE_C)
        replaced = os.stat(image)
        os.utime(image + ".tmp", ns=(replaced.st_atime_ns, replaced.st_mtime_ns))
        os.replace(image + ".tmp", image)
        reset_when_asked(work, log, 3)
        wait_for(log, "Round 3: programmed")
        wait_for_flash(work, bytes([0x21, 0x22, 0x23, 0x24]), "the file renamed over")
        wait_for(log, "for a change", 3)
        process.send_signal(signal.SIGINT)
        code = end(process)
    finally:
        stop(process)
    print(read(log))
    if code != 0:
        raise Failed("Ctrl-C: exit code %d, not the last round's 0" % code)
    lines = [json.loads(line) for line in read(out).splitlines() if line.startswith("{")]
    if [line["outcome"] for line in lines] != ["success"] * 3:
        raise Failed("not one successful report line a round:\n" + read(out))
    if len({line["sha256"] for line in lines}) != 3:
        raise Failed("the report lines do not name three files:\n" + read(out))


def take_terminal():
    """In the child: its standard input as its controlling terminal, as when
    started from a shell."""
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def drain(master):
    """What the console writes on its terminal is read and dropped."""
    try:
        while os.read(master, 4096):
            pass
    except OSError:
        pass


def on_console(wine_run, cli, work, port):
    """The r key programs again, a change programs the new data, the
    application's lines are shown between the rounds, and q ends."""
    image = os.path.join(work, "app.hex")
    log = os.path.join(work, "console.txt")
    write(image, IMAGE_A)
    master, terminal = pty.openpty()
    with open(log, "w") as output:
        process = subprocess.Popen(
            watch_command(wine_run, cli, work, port, ["--launch", "--monitor"]),
            stdin=terminal, stdout=output, stderr=subprocess.STDOUT, preexec_fn=take_terminal)
    os.close(terminal)
    drainer = threading.Thread(target=drain, args=(master,), daemon=True)
    drainer.start()
    try:
        wait_for(log, "app 4278387201")  # A's first bytes, little-endian
        wait_for(log, "(r: now, q: end)")
        os.write(master, b"r")
        reset_when_asked(work, log, 2)
        wait_for(log, "Round 2: programmed")
        wait_for(log, "app 4278387201", 2)
        write(image, IMAGE_B)
        reset_when_asked(work, log, 3)
        wait_for(log, "app 336794129")
        wait_for(log, "(r: now, q: end)", 3)
        os.write(master, b"q")
        code = end(process)
    finally:
        stop(process)
        drainer.join(LIMIT_S)  # the terminal's last holder is gone: the read fails
        os.close(master)
    print(read(log))
    if code != 0:
        raise Failed("q: exit code %d, not the last round's 0" % code)
    if read(log).count("Round ") != 3:
        raise Failed("not one round for each of the start, r and the change")


def run(name, scenario, wine_run, sim, cli, sim_args):
    """One scenario against a fresh target; its failures."""
    work = tempfile.mkdtemp(prefix="k4471-watch-wintest.")
    process, port = start_sim(sim, work, sim_args)
    started = time.monotonic()
    try:
        scenario(wine_run, cli, work, port)
        print("%s: passed in %.1f s" % (name, time.monotonic() - started))
        return []
    except Failed as failure:
        return ["%s: %s" % (name, failure)]
    finally:
        process.terminate()
        process.wait()
        shutil.rmtree(work)


def main():
    wine_run, sim, cli = sys.argv[1:4]
    failures = run("without a console", without_console, wine_run, sim, cli, [])
    failures += run("on a console", on_console, wine_run, sim, cli,
                    ["--app-text", "app {u32le@0x4000}"])
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
