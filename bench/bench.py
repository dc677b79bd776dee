#!/usr/bin/env python3
"""Times quillfind against emulated controllers and writes a markdown report.

Run through bench/run.sh, which builds the programs first. Each case runs
several times; the report gives medians next to the floor a case cannot beat
(the emulated bootloader's answer after the reset for a controller; the
command sent again one second after the reopen, plus the read timeout, for a
silent port). Only the native rows decide the exit status: Wine adds a start-up cost
and timing of its own, so its rows have looser targets and are information.
With --only, just the named cases run and their rows go into the report
already written, so that a new case needs no full run.
"""

import argparse
import datetime
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Callable, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"
NATIVE_BUILD = BENCH_BUILD / "native"
WINDOWS_BUILD = BENCH_BUILD / "windows"
WINE_PREFIX = BENCH_BUILD / "wineprefix"
WINE_DEV = BENCH_BUILD / "wine-dev"
LOG_DIR = BENCH_BUILD / "logs"
WINE_ENV = ROOT / "tests" / "wine" / "wine-env.sh"
TIME = "/usr/bin/time"

QUILLFIND = NATIVE_BUILD / "quillfind"
DEVROOT_PROGRAM = NATIVE_BUILD / "tests" / "e2e" / "quillfind-devroot"
EMULATOR = NATIVE_BUILD / "tests" / "emulator" / "quillfern-emulator"
DEVROOT_DEV = NATIVE_BUILD / "devroot" / "dev"
EXE = WINDOWS_BUILD / "quillfind.exe"

# The emulated controller at its default (57600-baud bootloader) timing
# answers a command it holds this long after the reset, the reopen: no probe
# that finds it can end sooner. The target is half the second every probe
# waited before it sent its command.
BOOT_MS = 265.0
CONTROLLER_TARGET_MS = 500.0
# A port with no reply by then gets the command again, and the read timeout.
RESEND_MS = 1000.0
# How close to the floor a timed native case must come, per port opened.
PER_PORT_MARGIN_MS = 5.0
ALLPORTS_TARGET_MS = 50.0
CPU_TARGET_MS = 10.0
# A USB controller behind an idle UART: found within this of the floor.
UART_CASE_MARGIN_MS = 50.0
# The wait: seconds of it, its CPU time, and how soon a new port is probed.
WAIT_SECONDS = 10
WAIT_CPU_TARGET_MS = 20.0
APPEAR_TARGET_MS = 300.0
# When the controller's port appears after the start of a waiting run. The
# program reads the list every 0.2 s from its start, so a port appearing at
# the same time in every run would meet a reading at the same point of the
# interval each time; the runs spread their appearance over one interval.
APPEAR_AFTER_S = 2.0
POLL_INTERVAL_S = 0.2
# Linux lets poll() and select() wake up to 0.1 % of the timeout late for a
# task that is not real-time (select_estimate_accuracy), to batch timer
# wake-ups; a silent port's read timeout pays that on top of the floor.
POLL_SLACK = 0.001
RSS_TARGET_KB = 4096.0
# Wine's extra allowance beyond its own measured start-up.
WINE_MARGIN_MS = 100.0
# Hard bound for any single run; a run past it is a failure, not a figure.
RUN_BOUND_S = 120.0
# The watch: how long its idle runs last (against a wait as long), and how
# many controllers one watch sees come and go, its peak memory read after
# the first few and at the end. Under Wine every appearance and every
# removal starts a Wine program, some 0.8 s a cycle in all: the same count
# takes about a quarter of an hour there, and fewer would do where it is slower.
WATCH_SECONDS = 60
WATCH_CYCLES = 1000
WATCH_WINE_CYCLES = 1000
WATCH_EARLY_CYCLES = 10
WATCH_RSS_GROWTH = 0.10
# The longest wait for one line of a watch, and for a watch to end once its
# reader has gone.
EVENT_BOUND_S = 30.0

# The ten ports of the list case: controllers, devices that answer in the
# wrong order, and one silent port (which costs the read timeout on top).
LIST_REPLIES = ["ok", "reversed", "ok", "silent", "ok", "reversed", "ok", "ok", "reversed", "ok"]
# The list cases, all with `timeout=1`: what each is, its ports, and the most
# it may take. `list` probes its ports at once, so a case costs its longest
# probe (a silent port's second command at one second, plus its timeout), not the sum.
LIST_CASES = [
    (f"`list` over ten ports ({LIST_REPLIES.count('ok')} controllers, {LIST_REPLIES.count('reversed')} "
     f"wrong-order, {LIST_REPLIES.count('silent')} silent; `timeout=1`)", LIST_REPLIES, 2100.0),
    ("`list` over ten controllers", ["ok"] * 10, CONTROLLER_TARGET_MS),
    ("`list` over ten silent ports, `timeout=1`", ["silent"] * 10, 2200.0),
]
# A list's CPU time: its probes wait at once without busy waiting, so ten of
# them cost little more than one.
LIST_CPU_TARGET_MS = 30.0
# Two controllers on USB that differ only in their serial numbers, the second
# the one a script wants: the cases of `--only identity`.
IDENTITY_SERIALS = ("BENCH0001", "BENCH0002")
IDENTITY_CASE = "Two controllers on USB, serial numbers apart"
NATIVE_HEADING = "## Linux (native): these rows decide the exit status"
WINE_HEADING = "## Windows build under Wine: information only"
# How the method list begins the note of each group measured on its own; a
# later run of the group replaces its note and leaves the others.
ONLY_NOTES = {"identity": "- The rows of two controllers on USB were measured on their own",
              "watch": "- The rows of the watch were measured on their own"}


def list_floor(replies: Sequence[str]) -> float:
    """The longest probe of a list: the bootloader's answer, or a silent
    port's second command and its second of timeout."""
    return RESEND_MS + 1000.0 if "silent" in replies else BOOT_MS


def list_expectations(replies: Sequence[str]) -> List[str]:
    return [f"Total:  {len(replies)} ports", f"Quillfern:  {replies.count('ok')} found"]


class BenchError(Exception):
    """A run gave a wrong answer or the set-up failed: no figure is valid."""


@dataclass
class Sample:
    wall_ms: float
    cpu_ms: float
    status: int
    output: str
    maxrss_kb: Optional[float] = None


@dataclass
class Measured:
    samples: List[Sample]
    maxrss_kb: float

    @property
    def walls(self) -> List[float]:
        return [s.wall_ms for s in self.samples]

    @property
    def cpus(self) -> List[float]:
        return [s.cpu_ms for s in self.samples]


def spawn_measured(argv: Sequence[str], env: Optional[Dict[str, str]] = None,
                   peak_memory: bool = False) -> Sample:
    """Runs argv with stdin from /dev/null and times it from spawn to reap.

    posix_spawn (a vfork underneath) keeps the harness cost near that of the
    exec itself; wait4 gives the child's CPU time. Peak memory cannot come
    from the same run: the kernel keeps the memory high-water mark of the
    image a process replaces, so a child of this Python reports Python's own
    size. With peak_memory the run goes through GNU time, a small parent,
    and its figure is kept while the times of that run are not used.
    """
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as rss_file:
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, out.fileno(), 1),
            (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
        ]
        command = [TIME, "-f", "%M", "-o", rss_file.name, *argv] if peak_memory else list(argv)
        start = time.perf_counter_ns()
        pid = os.posix_spawn(command[0], command, env if env is not None else dict(os.environ),
                             file_actions=actions, setpgroup=0)
        timed_out = threading.Event()

        def kill_it() -> None:
            timed_out.set()
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        watchdog = threading.Timer(RUN_BOUND_S, kill_it)
        watchdog.start()
        try:
            _, wait_status, usage = os.wait4(pid, 0)
        finally:
            watchdog.cancel()
        end = time.perf_counter_ns()
        if timed_out.is_set():
            raise BenchError(f"{' '.join(argv)} ran past {RUN_BOUND_S:.0f} s")
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        rss_words = rss_file.read().split()
    status = os.waitstatus_to_exitcode(wait_status)
    sample = Sample(wall_ms=(end - start) / 1e6, cpu_ms=(usage.ru_utime + usage.ru_stime) * 1000.0,
                    status=status, output=text)
    if peak_memory:
        if not rss_words or not rss_words[-1].isdigit():
            raise BenchError(f"{' '.join(argv)}: no peak memory from {TIME} (status {status})")
        sample.maxrss_kb = float(rss_words[-1])
    return sample


def measure_runs(label: str, argv: Sequence[str], runs: int, expect_status: int,
                 env: Optional[Dict[str, str]] = None, expect_text: Sequence[str] = ()) -> Measured:
    """runs timed runs, then one more for the peak memory; each must give
    the expected answer."""
    samples = []
    peak = 0.0
    for index in range(runs + 1):
        for_memory = index == runs
        sample = spawn_measured(argv, env, peak_memory=for_memory)
        name = "memory run" if for_memory else f"run {index + 1}/{runs}"
        if sample.status != expect_status:
            raise BenchError(f"{label}: {name} exited {sample.status}, expected {expect_status}\n"
                             f"{sample.output}")
        for text in expect_text:
            if text not in sample.output.replace("\r\n", "\n"):
                raise BenchError(f"{label}: {name} did not print {text!r}\n{sample.output}")
        if for_memory:
            assert sample.maxrss_kb is not None
            peak = sample.maxrss_kb
            print(f"  {label}: {name}: {peak:.0f} KB", flush=True)
        else:
            samples.append(sample)
            print(f"  {label}: {name}: {sample.wall_ms:.1f} ms wall, {sample.cpu_ms:.2f} ms CPU", flush=True)
    return Measured(samples, peak)


class Emulators:
    """Emulator processes for one case, each publishing a pty at a link."""

    def __init__(self) -> None:
        self.processes: List[subprocess.Popen] = []
        self.links: List[Path] = []
        self.error_files: List[IO[str]] = []

    def start(self, link: Path, reply: str, extra: Sequence[str] = ()) -> None:
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        LOG_DIR.mkdir(parents=True, exist_ok=True)
        log = LOG_DIR / (link.name + ".log")
        if log.exists():
            log.unlink()
        errors = open(LOG_DIR / (link.name + ".stderr"), "w")
        self.error_files.append(errors)
        process = subprocess.Popen(
            [str(EMULATOR), f"--link={link}", f"--reply={reply}", f"--log={log}", "--max-seconds=1800", *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
        self.processes.append(process)
        self.links.append(link)
        deadline = time.monotonic() + 10.0
        while not link.is_symlink():
            if process.poll() is not None or time.monotonic() > deadline:
                raise BenchError(f"the emulator for {link} did not start; see {LOG_DIR}")
            time.sleep(0.02)

    def stop(self) -> None:
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for link in self.links:
            if link.is_symlink():
                link.unlink()
        for errors in self.error_files:
            errors.close()
        self.processes.clear()
        self.links.clear()
        self.error_files.clear()

    def __enter__(self) -> "Emulators":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class Watcher:
    """A watch writing into a pipe that is read here, each line taken with
    the moment it came. select, not a reading thread, so that closing the
    pipe leaves the watch without a reader at once."""

    def __init__(self, argv: Sequence[str], env: Optional[Dict[str, str]] = None) -> None:
        self.process = subprocess.Popen(list(argv), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=env, start_new_session=True)
        self.pending = b""
        self.arrived = 0

    def expect(self, label: str, *texts: str) -> int:
        """perf_counter_ns when the next line came; it must hold every text."""
        assert self.process.stdout is not None
        deadline = time.monotonic() + EVENT_BOUND_S
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise BenchError(f"{label}: no line from the watch within {EVENT_BOUND_S:.0f} s, "
                                 f"waiting for {texts}")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            self.arrived = time.perf_counter_ns()
            if not chunk:
                raise BenchError(f"{label}: the watch ended (status {self.process.wait()}) before a line "
                                 f"with {texts}")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.decode("utf-8", "replace").rstrip("\r")
        if not all(wanted in text for wanted in texts):
            raise BenchError(f"{label}: the watch printed {text!r}, not a line with {texts}")
        return self.arrived

    def peak_kb(self) -> float:
        """The watch's own high-water mark: a new image starts its own, unlike
        the maximum wait4 reports."""
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return float(line.split()[1])
        raise BenchError(f"no VmHWM for the watch (pid {self.process.pid})")

    def close(self, label: str, then: Callable[[], object] = lambda: None, must_end: bool = True) -> bool:
        """Goes away as its reader, then does what makes the watch write,
        where it cannot tell beforehand, and waits for it to end. Without
        must_end a watch that goes on is killed and the answer is False."""
        assert self.process.stdout is not None
        self.process.stdout.close()
        then()
        try:
            status = self.process.wait(timeout=EVENT_BOUND_S)
        except subprocess.TimeoutExpired:
            problem = f"{label}: the watch went on {EVENT_BOUND_S:.0f} s after its reader had gone"
            if must_end:
                raise BenchError(problem)
            print(f"  {problem}; killed", flush=True)
            self.__exit__()
            return False
        print(f"  {label}: the watch ended with status {status} once its reader had gone", flush=True)
        return True

    def __enter__(self) -> "Watcher":
        return self

    def __exit__(self, *exc: object) -> None:
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


@dataclass
class Row:
    case: str
    samples: List[float]
    unit: str
    floor: Optional[float] = None
    target: Optional[float] = None
    target_text: str = ""
    gating: bool = True
    noise: float = 0.0
    verdict: str = ""
    notes: str = ""
    runs_text: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def spread(self) -> float:
        return max(self.samples) - min(self.samples)


def judge(row: Row, machine_noise: float) -> None:
    """A row misses only when its median is past the target by more than the
    noise: the spread of its own runs, or, for times, what the same fixed
    sleep varies by on this machine, whichever is larger."""
    if row.target is None:
        row.verdict = "info"
        return
    row.noise = max(row.spread, machine_noise if row.unit == "ms" else 0.0)
    if row.median <= row.target:
        verdict = "meets"
    elif row.median <= row.target + row.noise:
        verdict = "meets (within noise)"
    else:
        verdict = "MISSES"
    row.verdict = verdict if row.gating else f"{verdict} (info)"


def fmt(value: Optional[float], unit: str) -> str:
    if value is None:
        return "-"
    if unit == "ms":
        return f"{value:.1f} ms"
    if unit == "KB":
        return f"{value / 1024.0:.2f} MB"
    if unit == "ms/s":
        return f"{value:.3f} ms/s"
    return f"{value:g} {unit}"


# ----------------------------------------------------------------------------
# Native cases

def devroot_link(index: int) -> Path:
    return DEVROOT_DEV / f"ttyUSB{index}"


def clear_devroot() -> None:
    if DEVROOT_DEV.exists():
        shutil.rmtree(DEVROOT_DEV.parent)
    DEVROOT_DEV.mkdir(parents=True)


def mark_uart(name: str, port_type: int) -> None:
    """The sysfs type file that says whether a ttyS node has a UART (not 0)."""
    folder = DEVROOT_DEV.parent / "sys" / "class" / "tty" / name
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "type").write_text(f"{port_type}\n")


def usb_sysfs(name: str, usb_port: str = "1-1", serial: str = "A50285BI") -> None:
    """sysfs and a by-id link, as the kernel makes them, for a ttyUSB node on
    a USB serial adapter, so that the program has its identity to read."""
    sys_root = DEVROOT_DEV.parent / "sys"
    device = sys_root / "devices/pci0000:00/0000:00:14.0/usb1" / usb_port
    port = device / f"{usb_port}:1.0" / name
    port.mkdir(parents=True, exist_ok=True)
    for attribute, value in (("idVendor", "0403"), ("idProduct", "6001"), ("serial", serial),
                             ("manufacturer", "FTDI"), ("product", "FT232R USB UART")):
        (device / attribute).write_text(value + "\n")
    (device / f"{usb_port}:1.0/bInterfaceNumber").write_text("00\n")
    (sys_root / "class/tty" / name).mkdir(parents=True, exist_ok=True)
    (sys_root / "class/tty" / name / "device").symlink_to(port)
    (DEVROOT_DEV / "serial/by-id").mkdir(parents=True, exist_ok=True)
    (DEVROOT_DEV / f"serial/by-id/usb-FTDI_FT232R_USB_UART_{serial}-if00-port0").symlink_to(f"../../{name}")


def never_opened(link: Path, label: str) -> None:
    """A port the words leave out must stay shut: its emulator's log has no open."""
    log = LOG_DIR / (link.name + ".log")
    if any(line.startswith("open ") for line in log.read_text().splitlines()):
        raise BenchError(f"{label}: {link.name} was opened, though the words leave it out")


# Runs one case: its label, the program's words, the exit status and texts it must give.
CaseRunner = Callable[[str, List[str], int, List[str]], Measured]


def identity_cases(measure: CaseRunner, first: int, second: int, first_link: Path, target: float,
                   target_text: str, gating: bool) -> Tuple[List[Row], List[float]]:
    """The second controller named by serial=, which should cost one probe,
    the first never opened; against what a script has without the word:
    list json, which opens and probes both (at once), and the plain search,
    which stops at the first, the wrong one."""
    cases = [(f"{IDENTITY_CASE}: `serial=` naming the one the search comes to second (the first never opened)",
              [f"serial={IDENTITY_SERIALS[1].lower()}"], second, []),
             (f"{IDENTITY_CASE}: `list json` (both opened and probed at once)", ["list", "json"], 0,
              ['"total":2,"found":2']),
             (f"{IDENTITY_CASE}: no word, the search stops at the first (the wrong one)", [], first, [])]
    rows: List[Row] = []
    rss: List[float] = []
    for index, (case, words, status, texts) in enumerate(cases):
        measured = measure(case, words, status, texts)
        if index == 0:
            never_opened(first_link, case)
        rss.append(measured.maxrss_kb)
        rows.append(Row(case, measured.walls, "ms", floor=BOOT_MS, target=target, target_text=target_text,
                        gating=gating))
    return rows, rss


def native_identity_cases(program: List[str], runs: int) -> Tuple[List[Row], List[float]]:
    print(f"native: {IDENTITY_CASE}", flush=True)
    clear_devroot()
    for index, serial in enumerate(IDENTITY_SERIALS):
        usb_sysfs(f"ttyUSB{index}", f"1-{index + 1}", serial)
    with Emulators() as emulators:
        for index in range(len(IDENTITY_SERIALS)):
            emulators.start(devroot_link(index), "ok")
        return identity_cases(
            lambda case, words, status, texts: measure_runs(case, program + words, runs, status,
                                                            expect_text=texts),
            1, 2, devroot_link(0), CONTROLLER_TARGET_MS, CONTROLLER_TARGET, True)


def typical_pc_nodes() -> None:
    """What a PC's /dev has of serial nodes with nothing behind them: 32
    ttyS nodes without a UART, each of which a listing reads the type of."""
    for number in range(32):
        (DEVROOT_DEV / f"ttyS{number}").write_text("")
        mark_uart(f"ttyS{number}", 0)


def link_in(pending: Path) -> int:
    """Puts a link to the pty behind pending into the device folder, made
    beside it and renamed in, so that the port appears whole at one instant,
    as a new device node does; gives perf_counter_ns right before."""
    staged = DEVROOT_DEV.parent / (pending.name + ".new")
    os.symlink(os.readlink(pending), staged)
    appeared = time.perf_counter_ns()
    os.rename(staged, DEVROOT_DEV / pending.name)
    return appeared


def appearance_delays(program: List[str], runs: int) -> List[float]:
    """Milliseconds from a controller's port appearing during a waiting run
    to the start of its probe: the run's end less the appearance, less the
    probe itself (the bootloader's answer after the reopen; the rest of the
    probe is taken as nothing, so the figure is an upper bound)."""
    delays = []
    pending = DEVROOT_DEV.parent / "pending"
    for index in range(runs):
        clear_devroot()
        typical_pc_nodes()
        pending.mkdir(parents=True, exist_ok=True)
        with Emulators() as emulators:
            emulators.start(pending / "ttyACM0", "ok")
            pid = os.posix_spawn(program[0], program + [f"wait={WAIT_SECONDS}"], dict(os.environ),
                                 file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                                               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)],
                                 setpgroup=0)
            time.sleep(APPEAR_AFTER_S + POLL_INTERVAL_S * index / runs)
            appeared = link_in(pending / "ttyACM0")
            _, wait_status, _ = os.wait4(pid, 0)
            ended = time.perf_counter_ns()
        status = os.waitstatus_to_exitcode(wait_status)
        if status != 1:
            raise BenchError(f"appearing port: run {index + 1}/{runs} exited {status}, expected 1")
        delay = (ended - appeared) / 1e6 - BOOT_MS
        delays.append(delay)
        print(f"  appearing port: run {index + 1}/{runs}: probe began {delay:.1f} ms after it appeared", flush=True)
    return delays


def watch_idle_rows(measure: Callable[[List[str]], Tuple[Measured, str]], nothing: str,
                    gating: bool) -> Tuple[List[Row], List[float]]:
    """The CPU time a second of a watch with nothing to report, against a
    wait as long on the same ports; measure gives a case's runs and a note."""
    (waited, wait_note), (watched, watch_note) = (measure([f"wait={WATCH_SECONDS}", *words])
                                                  for words in ([], ["watch"]))
    if any(sample.output.strip() for sample in watched.samples):
        raise BenchError(f"watch with nothing appearing printed {watched.samples[0].output!r}")
    per_second = [[sample.cpu_ms * 1000.0 / sample.wall_ms for sample in measured.samples]
                  for measured in (waited, watched)]
    case = f"nothing appearing ({nothing}): CPU time (user+system) per second"
    return ([Row(f"`wait={WATCH_SECONDS}`, {case}", per_second[0], "ms/s", gating=gating, notes=wait_note),
             Row(f"`wait={WATCH_SECONDS} watch`, {case}", per_second[1], "ms/s", floor=0.0,
                 target=statistics.median(per_second[0]), target_text="≤ the wait's median", gating=gating,
                 notes=watch_note)],
            [waited.maxrss_kb, watched.maxrss_kb])


def watch_delay(watcher: Watcher, index: int, runs: int, appear: Callable[[], object], label: str,
                *added: str) -> float:
    """Milliseconds from right before a port appears to its line. The watch
    reads the list every 0.2 s from its start, so the runs spread the
    appearance over one interval, as the wait's case does."""
    time.sleep(APPEAR_AFTER_S + POLL_INTERVAL_S * index / runs)
    appeared = time.perf_counter_ns()
    appear()
    delay = (watcher.expect(label, *added) - appeared) / 1e6
    print(f"  {label}: run {index + 1}/{runs}: its line came {delay:.1f} ms after", flush=True)
    return delay


def watch_cycles(watcher: Watcher, cycles: int, appear: Callable[[int], object], remove: Callable[[int], object],
                 name: Callable[[int], str], label: str) -> Tuple[float, float, float]:
    """Controllers coming and going under one `json watch`, each event
    awaited before the next change, so that the watch sees every one; its
    peak memory after the first cycles and after all, and seconds a cycle."""
    started = time.monotonic()
    early = 0.0
    for cycle in range(cycles):
        at = f"{label}: cycle {cycle + 1}"
        appear(cycle)
        watcher.expect(at, '"event":"added"', '"answered":true', name(cycle))
        remove(cycle)
        watcher.expect(at, '"event":"removed"', name(cycle))
        if cycle + 1 == WATCH_EARLY_CYCLES:
            early = watcher.peak_kb()
        if (cycle + 1) % 100 == 0 or cycle + 1 == WATCH_EARLY_CYCLES:
            print(f"  {at}: peak {watcher.peak_kb():.0f} KB, {time.monotonic() - started:.0f} s so far", flush=True)
    return early, watcher.peak_kb(), (time.monotonic() - started) / cycles


def watch_memory_row(cycles: int, peaks: Tuple[float, float, float], how: str, gating: bool,
                     note: str = "") -> Row:
    early, end, per_cycle = peaks
    return Row(f"`json watch` through {cycles:,} controllers coming and going ({how}), each event awaited: "
               "peak memory (VmHWM) at the end", [end], "KB", target=early * (1.0 + WATCH_RSS_GROWTH),
               target_text=f"≤ the peak after {WATCH_EARLY_CYCLES} cycles + 10 %", gating=gating, runs_text="1",
               notes=f"after {WATCH_EARLY_CYCLES} cycles {early / 1024.0:.2f} MB; {per_cycle:.2f} s a cycle{note}")


def native_watch_cases(program: List[str], runs: int) -> Tuple[List[Row], List[float]]:
    print(f"native: wait={WATCH_SECONDS}, and wait={WATCH_SECONDS} watch, with nothing appearing", flush=True)
    clear_devroot()
    typical_pc_nodes()
    rows, rss = watch_idle_rows(lambda words: (measure_runs(" ".join(words), program + words, runs, 0), ""),
                                "32 `ttyS` nodes without a UART", True)

    print("native: from a controller's appearance to its line in a watch", flush=True)
    pending = DEVROOT_DEV.parent / "pending"
    delays = []
    for index in range(runs):
        clear_devroot()
        typical_pc_nodes()
        with Emulators() as emulators:
            emulators.start(pending / "ttyACM0", "ok")
            with Watcher(program + ["watch"]) as watcher:
                delays.append(watch_delay(watcher, index, runs, lambda: link_in(pending / "ttyACM0"),
                                          "watch, appearing port", " - Quillfern ", "/ttyACM0"))
                watcher.close("watch, appearing port")
    rows.append(Row("`watch`: from a port appearing to its line (controller at `ttyACM0`, 32 `ttyS` nodes "
                    f"without a UART; {APPEAR_AFTER_S:.0f} s to {APPEAR_AFTER_S + POLL_INTERVAL_S:.1f} s after "
                    "the start)", delays, "ms", floor=BOOT_MS, target=BOOT_MS + APPEAR_TARGET_MS,
                    target_text="≤ floor + 300 ms"))

    print(f"native: {WATCH_CYCLES} controllers coming and going under one watch", flush=True)
    clear_devroot()
    links = [devroot_link(index) for index in range(4)]
    with Emulators() as emulators, Watcher(program + ["json", "watch"]) as watcher:
        peaks = watch_cycles(watcher, WATCH_CYCLES, lambda cycle: emulators.start(links[cycle % 4], "ok"),
                             lambda cycle: emulators.stop(), lambda cycle: f'/{links[cycle % 4].name}"',
                             "native watch")
        watcher.close("native watch")
    rows.append(watch_memory_row(WATCH_CYCLES, peaks, "an emulator started and stopped on `ttyUSB0` to "
                                 "`ttyUSB3` in turn", True))
    clear_devroot()
    return rows, rss


SILENT_TARGET = "≤ floor + 5 ms + poll slack"
CONTROLLER_TARGET = f"≤ {CONTROLLER_TARGET_MS / 1000.0:g} s"


def silent_target(floor: float) -> float:
    """A silent port waits in two polls: for a reply until one second, then for the timeout."""
    return floor + PER_PORT_MARGIN_MS + floor * POLL_SLACK


def native_cases(runs: int, only: Optional[str] = None) -> Tuple[List[Row], List[float]]:
    rows: List[Row] = []
    rss: List[float] = []
    program = [str(DEVROOT_PROGRAM)]
    if only == "identity":
        return native_identity_cases(program, runs)
    if only == "watch":
        return native_watch_cases(program, runs)

    print("native: controller on the first port", flush=True)
    clear_devroot()
    with Emulators() as emulators:
        emulators.start(devroot_link(0), "ok")
        # A second device that would answer wrongly: the search must stop at the first.
        emulators.start(devroot_link(1), "reversed")
        measured = measure_runs("first port", program, runs, expect_status=1)
    rss.append(measured.maxrss_kb)
    rows.append(Row("Controller on the first port", measured.walls, "ms",
                    floor=BOOT_MS, target=CONTROLLER_TARGET_MS, target_text=CONTROLLER_TARGET))

    print("native: controller on the first port with its identity, without and with json", flush=True)
    clear_devroot()
    usb_sysfs("ttyUSB0")
    with Emulators() as emulators:
        emulators.start(devroot_link(0), "ok")
        emulators.start(devroot_link(1), "reversed")
        plain = measure_runs("first port, identity", program, runs, expect_status=1)
        as_json = measure_runs("first port, json", program + ["json"], runs, expect_status=1,
                               expect_text=['"found":true', '"serial_number":"A50285BI"', "by-id"])
    rss += [plain.maxrss_kb, as_json.maxrss_kb]
    for words, measured in (("", plain), (", `json`", as_json)):
        rows.append(Row(f"Controller on the first port, its sysfs tree and by-id link there{words}",
                        measured.walls, "ms", floor=BOOT_MS, target=CONTROLLER_TARGET_MS,
                        target_text=CONTROLLER_TARGET))
    identity_rows, identity_rss = native_identity_cases(program, runs)
    rows += identity_rows
    rss += identity_rss

    print("native: silent port, timeout=1", flush=True)
    clear_devroot()
    with Emulators() as emulators:
        emulators.start(devroot_link(0), "silent")
        measured = measure_runs("silent timeout=1", program + ["timeout=1"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    floor = RESEND_MS + 1000.0
    rows.append(Row("Silent port, `timeout=1`", measured.walls, "ms", floor=floor,
                    target=silent_target(floor), target_text=SILENT_TARGET))

    print("native: allports, no devices", flush=True)
    clear_devroot()
    measured = measure_runs("allports empty", program + ["allports"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    rows.append(Row("`allports`, no device behind any number", measured.walls, "ms",
                    floor=0.0, target=ALLPORTS_TARGET_MS, target_text="< 50 ms"))

    print("native: six seconds in a silent probe", flush=True)
    clear_devroot()
    with Emulators() as emulators:
        emulators.start(devroot_link(0), "silent")
        measured = measure_runs("silent timeout=5", program + ["timeout=5"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    floor = RESEND_MS + 5000.0
    rows.append(Row("Silent port, `timeout=5`: wall time", measured.walls, "ms", floor=floor,
                    target=silent_target(floor), target_text=SILENT_TARGET))
    rows.append(Row("Silent port, `timeout=5`: CPU time (user+system)", measured.cpus, "ms",
                    floor=0.0, target=CPU_TARGET_MS, target_text="< 10 ms"))

    print("native: controller at ttyACM0 behind a silent UART at ttyS0, default timeout", flush=True)
    clear_devroot()
    mark_uart("ttyS0", 4)
    with Emulators() as emulators:
        emulators.start(DEVROOT_DEV / "ttyS0", "silent")
        emulators.start(DEVROOT_DEV / "ttyACM0", "ok")
        measured = measure_runs("UART and USB", program, runs, expect_status=1)
    rss.append(measured.maxrss_kb)
    rows.append(Row("Controller at `ttyACM0`, a silent UART at `ttyS0`, default timeout", measured.walls, "ms",
                    floor=BOOT_MS, target=BOOT_MS + UART_CASE_MARGIN_MS, target_text="≤ floor + 50 ms"))

    print(f"native: wait={WAIT_SECONDS} with nothing appearing", flush=True)
    clear_devroot()
    typical_pc_nodes()
    measured = measure_runs("idle wait", program + [f"wait={WAIT_SECONDS}"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    floor = WAIT_SECONDS * 1000.0
    rows.append(Row(f"`wait={WAIT_SECONDS}`, nothing appearing (32 `ttyS` nodes without a UART listed "
                    "each time): wall time", measured.walls, "ms", floor=floor,
                    target=floor + PER_PORT_MARGIN_MS, target_text="≤ floor + 5 ms"))
    rows.append(Row(f"`wait={WAIT_SECONDS}`, nothing appearing: CPU time (user+system)", measured.cpus, "ms",
                    floor=0.0, target=WAIT_CPU_TARGET_MS, target_text="< 20 ms"))

    print(f"native: a port appearing {APPEAR_AFTER_S:.0f} s into wait={WAIT_SECONDS}", flush=True)
    rows.append(Row(f"`wait={WAIT_SECONDS}`: from a port appearing to its probe's start (controller at "
                    f"`ttyACM0` {APPEAR_AFTER_S:.0f} s to {APPEAR_AFTER_S + POLL_INTERVAL_S:.1f} s after the start)",
                    appearance_delays(program, runs), "ms",
                    floor=0.0, target=APPEAR_TARGET_MS, target_text="< 300 ms"))
    watch_rows, watch_rss = native_watch_cases(program, runs)
    rows += watch_rows
    rss += watch_rss

    for index, (case, replies, target) in enumerate(LIST_CASES):
        print(f"native: {case}", flush=True)
        clear_devroot()
        with Emulators() as emulators:
            for number, reply in enumerate(replies):
                emulators.start(devroot_link(number), reply)
            measured = measure_runs(case, program + ["timeout=1", "list"], runs, expect_status=0,
                                    expect_text=list_expectations(replies))
        rss.append(measured.maxrss_kb)
        rows.append(Row(case, measured.walls, "ms", floor=list_floor(replies), target=target,
                        target_text=f"≤ {target / 1000.0:g} s"))
        if index == 0:
            rows.append(Row(f"{case}: CPU time (user+system)", measured.cpus, "ms", floor=0.0,
                            target=LIST_CPU_TARGET_MS, target_text=f"< {LIST_CPU_TARGET_MS:.0f} ms"))
    clear_devroot()

    rows.append(Row("Peak memory (max RSS, one run of each case above under GNU time)", [max(rss)], "KB",
                    target=RSS_TARGET_KB, target_text="< 4 MB",
                    notes=f"lowest case {min(rss) / 1024.0:.2f} MB"))

    return rows, rss


# ----------------------------------------------------------------------------
# Wine cases

def wine_environment() -> Dict[str, str]:
    """What wine-env.sh gives a program it runs."""
    env = dict(os.environ)
    env["WINEPREFIX"] = str(WINE_PREFIX)
    env.setdefault("WINEDEBUG", "-all")
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def wine_program() -> str:
    found = os.environ.get("WINE") or shutil.which("wine") or shutil.which("wine64")
    if not found:
        raise BenchError("no wine program found")
    return found


def wine_env(*args: str, timeout: float = 600.0) -> str:
    result = subprocess.run([str(WINE_ENV), *args], stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=timeout)
    if result.returncode != 0:
        raise BenchError(f"wine-env.sh {' '.join(args)} failed ({result.returncode}): {result.stderr}")
    return result.stdout


class WineHold:
    """Keeps the prefix's wine server up, with its COM list cleaned, while the
    measured programs run straight under wine: wine-env.sh run holds the
    prefix for as long as the program it runs lives, and cmd's `set /p` lives
    until its standard input closes."""

    def __init__(self) -> None:
        self.process = subprocess.Popen(
            [str(WINE_ENV), "run", str(WINE_PREFIX), "cmd", "/c", "echo held& set /p x="],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        first_line: List[bytes] = []
        answered = threading.Event()

        def wait_for_line() -> None:
            assert self.process.stdout is not None
            first_line.append(self.process.stdout.readline())
            answered.set()

        threading.Thread(target=wait_for_line, daemon=True).start()
        # The line comes once cmd runs, or end of file when wine-env.sh gave up.
        if not answered.wait(300.0) or first_line[0].strip() != b"held":
            self.close()
            raise BenchError(f"the Wine prefix could not be held (wine-env.sh run exited "
                             f"{self.process.returncode}); see {WINE_PREFIX}/wine-env.log")

    def close(self) -> None:
        if self.process.stdin is not None and not self.process.stdin.closed:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def __enter__(self) -> "WineHold":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def wineserver_cpu_ms() -> float:
    """CPU time so far of this prefix's wine server, which is not our child
    and so not in wait4's figures; 0 when none runs."""
    total = 0.0
    ticks = os.sysconf("SC_CLK_TCK")
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if "wineserver" not in (entry / "comm").read_text():
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
            if f"WINEPREFIX={WINE_PREFIX}".encode() not in environ:
                continue
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) * 1000.0 / ticks
        except OSError:
            continue
    return total


class WinePorts:
    """Maps COM numbers of the bench prefix to emulator links."""

    def __init__(self) -> None:
        self.mapped: List[int] = []

    def set(self, wanted: Dict[int, Path]) -> None:
        for number in self.mapped:
            if number not in wanted:
                wine_env("unmap", str(WINE_PREFIX), f"COM{number}")
        for number, link in wanted.items():
            wine_env("map", str(WINE_PREFIX), f"COM{number}", str(link))
        self.mapped = sorted(wanted)


def wine_case(ports: WinePorts, replies: Dict[int, str], label: str, args: Sequence[str], runs: int,
              expect_status: int, expect_text: Sequence[str] = ()) -> Tuple[Measured, float]:
    """The runs of one case, and the CPU time the prefix's wine server spent
    meanwhile (one server lives through the whole hold)."""
    print(f"wine: {label}", flush=True)
    links = {number: WINE_DEV / f"com{number}" for number in replies}
    with Emulators() as emulators:
        for number, reply in replies.items():
            # Wine clears HUPCL, so without this only the first run would
            # restart the controller.
            emulators.start(links[number], reply, ["--dtr-drops-at-every-close=yes"])
        ports.set(links)
        with WineHold():
            seen = sorted(wine_env("ports", str(WINE_PREFIX)).split())
            expected = sorted(f"COM{number}" for number in replies)
            if seen != expected:
                raise BenchError(f"wine: {label}: the program would see {seen}, not {expected}")
            server_before = wineserver_cpu_ms()
            measured = measure_runs(f"wine {label}", [wine_program(), str(EXE), *args], runs, expect_status,
                                    env=wine_environment(), expect_text=expect_text)
            return measured, wineserver_cpu_ms() - server_before


def wine_identity_cases(ports: WinePorts, runs: int, target: float,
                        target_text: str) -> Tuple[List[Row], List[float]]:
    # The serial= case names the port Wine lists second, which the search
    # would come to last.
    ports.set({2: WINE_DEV / "com2", 3: WINE_DEV / "com3"})
    first, second = (int(name[3:]) for name in wine_env("ports", str(WINE_PREFIX)).split())
    wine_env("devices", str(WINE_PREFIX),
             *(f"USB\\VID_2341&PID_0043\\{serial}=COM{number}=Arduino Uno (COM{number})"
               for number, serial in zip((first, second), IDENTITY_SERIALS)))
    result = identity_cases(
        lambda case, words, status, texts: wine_case(ports, {first: "ok", second: "ok"}, case, words, runs,
                                                     status, texts)[0],
        first, second, WINE_DEV / f"com{first}", target, target_text, False)
    wine_env("devices", str(WINE_PREFIX))
    return result


def wine_watch_cases(ports: WinePorts, runs: int) -> Tuple[List[Row], List[float]]:
    prefix = str(WINE_PREFIX)
    ports.set({})

    def idle(words: List[str]) -> Tuple[Measured, str]:
        measured, server_ms = wine_case(ports, {}, " ".join(words), words, runs, expect_status=0)
        return measured, (f"the wine server (no child of ours) {server_ms / ((runs + 1) * WATCH_SECONDS):.3f} "
                          "ms/s meanwhile (10 ms resolution)")

    rows, rss = watch_idle_rows(idle, "no COM port", False)

    numbers = (5, 6)
    links = {number: WINE_DEV / f"com{number}" for number in numbers}
    appear_ms: List[float] = []

    def appear(number: int) -> None:
        started = time.perf_counter_ns()
        wine_env("appear", prefix, f"COM{number}", str(links[number]))
        appear_ms.append((time.perf_counter_ns() - started) / 1e6)

    def remove() -> None:
        # wine-env.sh has no command to unplug a port; but nothing is
        # mapped, and the helper of its next command takes every name not
        # mapped out of the device-name list, as an unplugged port leaves it.
        if wine_env("ports", prefix).split():
            raise BenchError("wine: a port stayed in the device-name list after its removal")

    program = [wine_program(), str(EXE)]
    # Whether each watch ended once its reader had gone and it had written.
    ended: List[bool] = []
    with Emulators() as emulators:
        for number, link in links.items():
            emulators.start(link, "ok", ["--dtr-drops-at-every-close=yes"])
        with WineHold():
            print("wine: from a controller's appearance to its line in a watch", flush=True)
            delays = []
            for index in range(runs):
                with Watcher(program + ["watch"], wine_environment()) as watcher:
                    delays.append(watch_delay(watcher, index, runs, lambda: appear(numbers[0]),
                                              "wine watch, appearing port", f"COM{numbers[0]}  - Quillfern"))
                    # Windows tells a reader gone only by a failed write: the
                    # Gone line is that write.
                    ended.append(watcher.close("wine watch, appearing port", remove, must_end=False))
            appear_median = statistics.median(appear_ms)
            appearing = Row(f"`watch`: from a port appearing (`wine-env.sh appear` COM{numbers[0]} "
                            f"{APPEAR_AFTER_S:.0f} s to {APPEAR_AFTER_S + POLL_INTERVAL_S:.1f} s after the start) "
                            "to its line", delays, "ms", floor=BOOT_MS,
                            target=BOOT_MS + APPEAR_TARGET_MS + appear_median,
                            target_text="≤ floor + 300 ms + the appear command", gating=False,
                            notes=f"the command itself took {appear_median:.0f} ms (median), its Wine program's "
                                  "start included, before the port was in the list")
            rows.append(appearing)

            print(f"wine: {WATCH_WINE_CYCLES} controllers coming and going under one watch", flush=True)
            with Watcher(program + ["json", "watch"], wine_environment()) as watcher:
                peaks = watch_cycles(watcher, WATCH_WINE_CYCLES, lambda cycle: appear(numbers[cycle % 2]),
                                     lambda cycle: remove(), lambda cycle: f'"name":"COM{numbers[cycle % 2]}"',
                                     "wine watch")
                ended.append(watcher.close("wine watch", lambda: appear(numbers[0]), must_end=False))
            remove()
    fewer = WATCH_WINE_CYCLES < WATCH_CYCLES
    rows.append(watch_memory_row(WATCH_WINE_CYCLES, peaks,
                                 f"COM{numbers[0]} and COM{numbers[1]} in turn through `wine-env.sh appear`, each "
                                 "taken out of the list again" + ("; fewer than natively" if fewer else ""), False,
                                 f", so {WATCH_CYCLES:,} would take {WATCH_CYCLES * peaks[2] / 60.0:.0f} min"
                                 if fewer else ""))
    if not all(ended):
        appearing.notes += (f"; once their reader had gone and a line was written to it, these plain watches ended "
                            f"{ended[:-1].count(True)} times in {len(ended) - 1} (the rest were killed after "
                            f"{EVENT_BOUND_S:.0f} s), the cycles' `json watch` {'did' if ended[-1] else 'did not'}")
    return rows, rss


def wine_cases(runs: int, only: Optional[str] = None) -> Tuple[List[Row], List[float]]:
    rows: List[Row] = []
    rss: List[float] = []
    env = wine_environment()
    wine = wine_program()
    wine_env("init", str(WINE_PREFIX))
    ports = WinePorts()
    # Mappings left by an earlier, interrupted run would add ports.
    for number in range(1, len(LIST_REPLIES) + 2):
        wine_env("unmap", str(WINE_PREFIX), f"COM{number}")

    print("wine: start-up", flush=True)
    with WineHold():
        started = measure_runs("wine help", [wine, str(EXE), "help"], runs, 0, env=env,
                               expect_text=["Version:  1.06"])
        through_script = measure_runs("wine-env.sh run help",
                                      [str(WINE_ENV), "run", str(WINE_PREFIX), str(EXE), "help"], runs, 0,
                                      expect_text=["Version:  1.06"])
    rss.append(started.maxrss_kb)
    startup = statistics.median(started.walls)
    startup_cpu = statistics.median(started.cpus)
    rows.append(Row("Wine start-up: `quillfind.exe help`, server already up", started.walls, "ms",
                    notes="the cost every Wine row below carries"))
    rows.append(Row("The same through `wine-env.sh run` (lock, helper, then the program)",
                    through_script.walls, "ms", notes="not in the rows below"))

    def looser(floor: float) -> float:
        return floor + startup + WINE_MARGIN_MS

    wine_target = f"≤ floor + start-up + {WINE_MARGIN_MS:.0f} ms"
    if only is not None:
        result = (wine_identity_cases(ports, runs, looser(BOOT_MS), wine_target) if only == "identity"
                  else wine_watch_cases(ports, runs))
        ports.set({})
        wine_env("stop", str(WINE_PREFIX))
        return result

    measured, _ = wine_case(ports, {1: "ok"}, "controller on the first port", [], runs, expect_status=1)
    rss.append(measured.maxrss_kb)
    rows.append(Row("Controller on the first port", measured.walls, "ms",
                    floor=BOOT_MS, target=CONTROLLER_TARGET_MS, target_text=CONTROLLER_TARGET, gating=False))

    # The device list as Windows would have it for a USB adapter on COM1.
    wine_env("devices", str(WINE_PREFIX), "USB\\VID_2341&PID_0043\\BENCH0001=COM1=Arduino Uno (COM1)")
    for words, text in (([], ""), (["json"], ", `json`")):
        measured, _ = wine_case(ports, {1: "ok"}, f"controller on the first port, a USB device{text}", words, runs,
                                expect_status=1, expect_text=['"vendor_id":"2341"'] if words else [])
        rss.append(measured.maxrss_kb)
        rows.append(Row(f"Controller on the first port, a USB device in the device list{text}", measured.walls,
                        "ms", floor=BOOT_MS, target=CONTROLLER_TARGET_MS, target_text=CONTROLLER_TARGET,
                        gating=False))

    # A board's UART that Wine lists ahead of the controller's USB port:
    # without the device list (as the search was before it read one) the
    # UART is probed first and costs a second and the whole timeout.
    ports.set({2: WINE_DEV / "com2", 3: WINE_DEV / "com3"})
    uart, usb = (int(name[3:]) for name in wine_env("ports", str(WINE_PREFIX)).split())
    for devices, text in (([], "system order, no device list (as before)"),
                          ([f"ACPI\\PNP0501\\1=COM{uart}=Communications Port (COM{uart})",
                            f"USB\\VID_2341&PID_0043\\BENCH0001=COM{usb}=Arduino Uno (COM{usb})"],
                           "the device list read, USB first")):
        wine_env("devices", str(WINE_PREFIX), *devices)
        measured, _ = wine_case(ports, {uart: "silent", usb: "ok"}, f"UART listed first, {text}", [], runs,
                                expect_status=usb)
        rss.append(measured.maxrss_kb)
        floor = BOOT_MS if devices else RESEND_MS + 5000.0 + BOOT_MS
        rows.append(Row(f"Controller on a USB port, a silent built-in UART listed ahead of it, default timeout: "
                        f"{text}", measured.walls, "ms", floor=floor, target=looser(floor),
                        target_text=wine_target, gating=False))
    wine_env("devices", str(WINE_PREFIX))
    identity_rows, identity_rss = wine_identity_cases(ports, runs, looser(BOOT_MS), wine_target)
    rows += identity_rows
    rss += identity_rss

    measured, _ = wine_case(ports, {1: "silent"}, "silent port, timeout=1", ["timeout=1"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    floor = RESEND_MS + 1000.0
    rows.append(Row("Silent port, `timeout=1`", measured.walls, "ms",
                    floor=floor, target=looser(floor), target_text=wine_target, gating=False))

    measured, _ = wine_case(ports, {}, "allports, no devices", ["allports"], runs, expect_status=0)
    rss.append(measured.maxrss_kb)
    rows.append(Row("`allports`, no device behind any number", measured.walls, "ms",
                    floor=0.0, target=looser(0.0), target_text=wine_target, gating=False))

    measured, server_ms = wine_case(ports, {1: "silent"}, "silent port, timeout=5", ["timeout=5"], runs,
                                    expect_status=0)
    rss.append(measured.maxrss_kb)
    floor = RESEND_MS + 5000.0
    rows.append(Row("Silent port, `timeout=5`: wall time", measured.walls, "ms",
                    floor=floor, target=looser(floor), target_text=wine_target, gating=False))
    # The wine server does the waiting for the program's reads, so busy
    # waiting there would not show in the program's own figures.
    rows.append(Row("Silent port, `timeout=5`: CPU time of the program's process", measured.cpus, "ms",
                    floor=0.0, target=startup_cpu + CPU_TARGET_MS, target_text="< start-up CPU + 10 ms",
                    gating=False,
                    notes=f"start-up alone takes {startup_cpu:.1f} ms; the wine server (no child of ours) used "
                          f"{server_ms:.0f} ms over all {runs + 1} runs together (10 ms resolution)"))

    for case, replies, target in LIST_CASES:
        # COM2 to COM11, leaving COM1 free: Wine numbers the host's own serial
        # ports from the lowest free number, and when that lands on COM10 or
        # above wine-env.sh can hold the prefix only once per server start.
        mapped = {index + 2: reply for index, reply in enumerate(replies)}
        measured, _ = wine_case(ports, mapped, case, ["timeout=1", "list"], runs, expect_status=0,
                                expect_text=list_expectations(replies))
        rss.append(measured.maxrss_kb)
        rows.append(Row(case, measured.walls, "ms", floor=list_floor(replies), target=target,
                        target_text=f"≤ {target / 1000.0:g} s", gating=False))
    watch_rows, watch_rss = wine_watch_cases(ports, runs)
    rows += watch_rows
    rss += watch_rss
    rows.append(Row("Peak memory of the program's process (max RSS, one run of each case under GNU time)",
                    [max(rss)], "KB", notes="Wine's own loader and DLLs, mostly"))

    ports.set({})
    wine_env("stop", str(WINE_PREFIX))
    return rows, rss


# ----------------------------------------------------------------------------
# Report

def first_line(argv: Sequence[str]) -> str:
    try:
        result = subprocess.run(list(argv), capture_output=True, text=True, timeout=60)
        return (result.stdout or result.stderr).splitlines()[0].strip()
    except (OSError, subprocess.SubprocessError, IndexError):
        return "unknown"


def load_average() -> str:
    return ", ".join(f"{value:.2f}" for value in os.getloadavg())


def machine_description() -> List[str]:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                memory = f"{int(line.split()[1]) / 1024.0 / 1024.0:.1f} GiB"
                break
    except OSError:
        pass
    return [
        f"- CPU: {cpu}, {os.cpu_count()} cores; memory {memory}",
        f"- Kernel: {platform.system()} {platform.release()} ({platform.machine()})",
        f"- Started: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
        f"- Load average at the start (1, 5, 15 min): {load_average()}",
        f"- Compilers: {first_line(['g++', '--version'])}; "
        f"{first_line(['x86_64-w64-mingw32-g++-posix', '--version'])}",
    ]


def table(rows: List[Row]) -> List[str]:
    lines = ["| Case | Runs | Median | Floor | Over floor | Spread (max−min) | Target | Result |",
             "|---|---:|---:|---:|---:|---:|---|---|"]
    for row in rows:
        over = "-" if row.floor is None else fmt(row.median - row.floor, row.unit)
        runs_text = row.runs_text or (str(len(row.samples)) if len(row.samples) > 1 else "1 per case")
        case = row.case + (f" — {row.notes}" if row.notes else "")
        spread = fmt(row.spread, row.unit) if len(row.samples) > 1 else "-"
        target = "-" if row.target is None else f"{row.target_text} ({fmt(row.target, row.unit)})"
        lines.append(f"| {case} | {runs_text} | {fmt(row.median, row.unit)} | {fmt(row.floor, row.unit)} | "
                     f"{over} | {spread} | {target} | {row.verdict} |")
    return lines


def file_size(path: Path) -> str:
    return f"{path.stat().st_size / 1024.0:.1f} KiB ({path.stat().st_size} bytes)"


def stripped_size(path: Path) -> str:
    with tempfile.TemporaryDirectory() as folder:
        copy = Path(folder) / path.name
        subprocess.run(["strip", "-o", str(copy), str(path)], check=True)
        return file_size(copy)


def write_report(output: Path, runs: int, machine: List[str], calibration: Dict[str, float],
                 native: List[Row], wine: Optional[List[Row]], wine_version: str) -> None:
    lines = ["# quillfind benchmark", "",
             "Produced by `bench/run.sh`; rerun it to refresh this file. Medians of repeated runs against",
             "emulated controllers (`quillfern-emulator` on pseudo-terminals). The floor is what a case",
             f"cannot beat: the emulated bootloader's answer {BOOT_MS:.0f} ms after the reset (its default,",
             "57600-baud timing) for a controller; the command sent again one second after the reopen, plus",
             "the read timeout, for a port that stays silent.", "",
             "## Machine", ""]
    lines += machine
    lines.append(f"- Load average at the end: {load_average()}")
    lines += ["", "## Method", "",
              f"- Each case ran {runs} times. Wall time is taken from `posix_spawn` to the reap, CPU time "
              "(user + system) comes from `wait4`. Peak memory (max RSS) comes from one more run of each case "
              "under GNU time: a child of the Python harness would report the harness's own size.",
              "- Linux: `build/bench/native/tests/e2e/quillfind-devroot` (the program built to look under "
              "`build/bench/native/devroot` instead of `/dev` and `/sys`), Release build of the `native` "
              "preset configured into `build/bench/native`.",
              "- Windows: `quillfind.exe` from the `windows` preset configured into `build/bench/windows`, "
              f"under {wine_version} in the prefix `build/bench/wineprefix`, COM ports mapped to emulator "
              "links with `tests/wine/wine-env.sh`. The prefix is held (server up, COM list cleaned) by "
              "`wine-env.sh run` around an idle `cmd`, and each measured run is `wine quillfind.exe ...` "
              "with the environment `wine-env.sh` gives, so the script's own cost is reported once and "
              "kept out of the other rows.",
              f"- Harness overhead: spawning and reaping `/bin/true` takes {calibration['true']:.2f} ms "
              "(median); it is inside every wall time below.",
              f"- Machine noise: `/bin/sleep 1` took {calibration['sleep_median']:.1f} ms median and varied "
              f"by {calibration['sleep_spread']:.2f} ms (max − min) here. A native row fails only when its "
              "median is past the target by more than the larger of that and its own spread.",
              "- Poll slack: Linux lets `poll()` wake up to 0.1 % of its timeout late (1 ms for a 1 s read "
              "timeout, 5 ms for 5 s) to batch timer wake-ups; here a bare `poll(1000)` woke "
              f"{calibration['poll_1000_late']:.2f} ms late and `poll(5000)` {calibration['poll_5000_late']:.2f} ms "
              "late. The targets of the cases with a silent port allow for it, on the wait for a reply until "
              "one second after the reopen and on the read timeout after the command sent again.",
              "", NATIVE_HEADING, ""]
    lines += table(native)
    lines += ["", WINE_HEADING, ""]
    if wine is None:
        lines.append("Not measured in this run (`--no-wine`).")
    else:
        lines += ["Wine starts every program in a few tens of milliseconds even with its server running, "
                  "and its serial layer, process and memory figures are Wine's rather than the program's. "
                  "These rows therefore have looser targets (the floor plus the measured start-up plus "
                  f"{WINE_MARGIN_MS:.0f} ms) and are marked info: they do not change the exit status.", ""]
        lines += table(wine)
    lines += ["", "## Executable sizes", "",
              "| File | Size | Stripped |", "|---|---:|---:|",
              f"| `quillfind` (Linux, Release) | {file_size(QUILLFIND)} | {stripped_size(QUILLFIND)} |"]
    if EXE.exists():
        lines.append(f"| `quillfind.exe` (mingw-w64, static, linked with `-s`) | {file_size(EXE)} | "
                     "already stripped |")
    lines.append("")
    output.write_text("\n".join(lines))


def merge_rows(output: Path, sections: Dict[str, List[Row]], group: str, note: str) -> None:
    """Puts rows measured on their own into the report of a full run: a row of
    the same case is replaced, a new one goes in ahead of its table's peak
    memory row, and the note (one of its kind) ends the method list."""
    if not output.exists():
        raise BenchError(f"{output} is missing: --only adds rows to the report of a full run")
    lines = output.read_text().splitlines()

    def section(heading: str) -> Tuple[int, int]:
        if heading not in lines:
            raise BenchError(f"{output} has no section {heading!r}")
        start = lines.index(heading)
        end = next((at for at in range(start + 1, len(lines)) if lines[at].startswith("## ")), len(lines))
        return start, end

    for heading, rows in sections.items():
        for row, line in zip(rows, table(rows)[2:]):
            start, end = section(heading)
            same = [at for at in range(start, end)
                    if lines[at].startswith((f"| {row.case} |", f"| {row.case} — "))]
            peak = [at for at in range(start, end) if lines[at].startswith("| Peak memory")]
            if same:
                lines[same[0]] = line
            elif peak:
                lines.insert(peak[0], line)
            else:
                raise BenchError(f"{output}: no table under {heading!r} to add {row.case!r} to")
    lines = [line for line in lines if not line.startswith(ONLY_NOTES[group])]
    start, end = section("## Method")
    while lines[end - 1] == "":
        end -= 1
    lines.insert(end, note)
    output.write_text("\n".join(lines) + "\n")


def calibrate(runs: int) -> Dict[str, float]:
    print("calibration", flush=True)
    true_runs = measure_runs("/bin/true", ["/bin/true"], max(runs, 10), 0)
    walls = measure_runs("/bin/sleep 1", ["/bin/sleep", "1"], runs, 0).walls
    late = {}
    for timeout_ms in (1000, 5000):
        overshoots = []
        for _ in range(2):
            start = time.perf_counter_ns()
            select.poll().poll(timeout_ms)
            overshoots.append((time.perf_counter_ns() - start) / 1e6 - timeout_ms)
        late[timeout_ms] = statistics.median(overshoots)
        print(f"  poll({timeout_ms}) woke {late[timeout_ms]:.2f} ms late", flush=True)
    return {"true": statistics.median(true_runs.walls),
            "poll_1000_late": late[1000],
            "poll_5000_late": late[5000],
            "sleep_median": statistics.median(walls),
            "sleep_spread": max(walls) - min(walls)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of each case (default 5)")
    parser.add_argument("--no-wine", action="store_true", help="skip the Windows build under Wine")
    parser.add_argument("--output", type=Path, default=ROOT / "bench" / "results.md")
    parser.add_argument("--only", choices=sorted(ONLY_NOTES),
                        help="run only these cases and put their rows into the report already at --output")
    options = parser.parse_args()
    if options.runs < 2:
        parser.error("--runs must be at least 2, or there is no spread to tell noise from")

    for program in (QUILLFIND, DEVROOT_PROGRAM, EMULATOR):
        if not program.exists():
            print(f"bench: {program} is missing; run bench/run.sh", file=sys.stderr)
            return 2
    machine = machine_description()
    try:
        calibration = calibrate(options.runs)
        native, native_rss = native_cases(options.runs, options.only)
        for row in native:
            judge(row, calibration["sleep_spread"])
        wine = None
        wine_rss: List[float] = []
        wine_version = "Wine"
        if not options.no_wine:
            if not EXE.exists():
                print(f"bench: {EXE} is missing; run bench/run.sh", file=sys.stderr)
                return 2
            wine_version = first_line([wine_program(), "--version"])
            wine, wine_rss = wine_cases(options.runs, options.only)
            for row in wine:
                judge(row, calibration["sleep_spread"])
        if options.only:
            sections = {NATIVE_HEADING: native}
            memory = f"their peak memory {max(native_rss) / 1024.0:.2f} MB natively"
            if wine is not None:
                sections[WINE_HEADING] = wine
                memory += f", {max(wine_rss) / 1024.0:.2f} MB under Wine"
            merge_rows(options.output, sections, options.only,
                       f"{ONLY_NOTES[options.only]} (`--only {options.only}`, {options.runs} runs each, "
                       f"{datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}, load "
                       f"average {load_average()}), after the rest, and are not in the peak memory rows; "
                       f"{memory}.")
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
        return 2
    if not options.only:
        write_report(options.output, options.runs, machine, calibration, native, wine, wine_version)
    print(options.output.read_text())
    missed = [row.case for row in native if row.verdict == "MISSES"]
    if missed:
        print("bench: native figures past their targets by more than the noise: " + "; ".join(missed),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
