#!/usr/bin/env python3
"""The Windows copy under Wine beside the Linux copy and beside baselines of
the same Windows build under Wine, in the same run.

  copy_figures.py LINUX_PROGRAM WINDOWS_FOLDER WINE_BASELINE WINE_PREFIX [RUNS]

Each program runs as a user starts it, in a network namespace of its own
under an Xvfb display of its own; the other end of a veth pair is its peer.
WINE_BASELINE is bench/wine_baseline.exe of the Windows build: a bare
QTcpServer sink, a bare window that sends its line edit's text, a bare
window, and the copy's own window with a 10 ms timer. Printed:
  flood: what a peer writing as fast as it can for 10 s got read, from what
    it handed to its kernel less what still waited in either kernel;
  message latency: from the Enter key pressed (xdotool, through the X server)
    to the message's last byte at the peer (median and 90th percentile of
    40 messages);
  start-up: from starting the process to its window shown (median of RUNS,
    5 by default); for Wine the first start, which also starts Wine's
    server, apart;
  memory at rest: the resident size 3 s after the window showed;
  answering under a flood (Windows copy): the worst lateness of a 10 ms
    timer over 20 s and the lines typed every 250 ms that reached the peer.
Needs root (ip netns), Xvfb, xdotool, ss and wine. tools/windows_figures.sh
builds the programs and runs this.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PORT = 49577
NS_COPY, NS_PEER = f"vz-fig-{os.getpid()}-c", f"vz-fig-{os.getpid()}-p"
ADDR_COPY, ADDR_PEER = "10.231.4.1", "10.231.4.2"
MESSAGES = 40


def run(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


def make_network():
    run("ip", "netns", "add", NS_COPY)
    run("ip", "netns", "add", NS_PEER)
    veth_copy, veth_peer = f"vzf{os.getpid()}c", f"vzf{os.getpid()}p"
    run("ip", "-n", NS_COPY, "link", "add", veth_copy, "type", "veth", "peer", "name", veth_peer, "netns", NS_PEER)
    run("ip", "-n", NS_COPY, "addr", "add", f"{ADDR_COPY}/24", "dev", veth_copy)
    run("ip", "-n", NS_PEER, "addr", "add", f"{ADDR_PEER}/24", "dev", veth_peer)
    for ns, link in ((NS_COPY, veth_copy), (NS_PEER, veth_peer)):
        run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", ns, "link", "set", link, "up")
    time.sleep(1)


def remove_network():
    for ns in (NS_COPY, NS_PEER):
        for pid in subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split():
            subprocess.run(["kill", "-9", pid])
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def start_x():
    for number in range(330 + os.getpid() % 300, 700):
        if os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp", "-noreset", "-screen", "0",
                                   "1280x800x24", "-dpi", "96"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        if server.poll() is None:
            os.environ["DISPLAY"] = f":{number}"
            return server
    sys.exit("could not start Xvfb")


def xdotool(*words):
    return subprocess.run(["xdotool", *words], capture_output=True, text=True, timeout=10).stdout.strip()


def listening():
    out = run("ip", "netns", "exec", NS_COPY, "ss", "-Htln", f"( sport = :{PORT} )")
    return bool(out.strip())


class Copy:
    def __init__(self, command, env, listens=True):
        self.command, self.env, self.listens = command, env, listens
        self.process = None
        self.window = None

    def start(self):
        """Starts the program; returns seconds to the window with its caption, and to listening."""
        began = time.monotonic()
        self.process = subprocess.Popen(["ip", "netns", "exec", NS_COPY, "env", *self.env, *self.command],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shown = None
        heard = None if self.listens else 0
        while shown is None or heard is None:
            now = time.monotonic() - began
            if now > 60:
                raise RuntimeError("the copy did not start")
            if shown is None:
                found = xdotool("search", "--all", "--onlyvisible", "--pid", str(self.process.pid), "--name", " - ")
                if found:
                    shown, self.window = now, found.split()[0]
            if heard is None and listening():
                heard = now
            time.sleep(0.005)
        return shown, heard

    def stop(self):
        self.process.terminate()
        self.process.wait(20)
        deadline = time.monotonic() + 20
        while listening() and time.monotonic() < deadline:
            time.sleep(0.05)

    def resident_mib(self):
        """The resident size of the program itself (under Wine, of its .exe's process)."""
        name = os.path.basename(self.command[1] if self.command[0] == "wine" else self.command[0])
        best = 0
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if name.encode() not in f.read():
                        continue
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            best = max(best, int(line.split()[1]))
            except OSError:
                continue
        return best / 1024

    def click(self, x, y):
        # Without a window manager a click does not move the keyboard's focus.
        xdotool("windowfocus", "--sync", self.window)
        xdotool("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "20", "--", text], timeout=30)


def latency(copy):
    """Connects the copy to a listener in the other namespace and times each Enter."""
    listener = listener_process()
    # TxtIp, Conectar and TxtMensaje at 96 dpi (twips / 15).
    copy.click(16 + 80, 8 + 9)
    xdotool("key", "ctrl+a", "BackSpace")
    copy.type(ADDR_PEER)
    copy.click(184 + 36, 8 + 12)
    time.sleep(1.5)
    return time_enters(copy, listener, 16 + 130, 344 + 16)


def raw_latency(copy):
    """The bare sender window under Wine: the same key path, straight to its socket."""
    listener = listener_process()
    copy.start()
    time.sleep(1.5)
    times = time_enters(copy, listener, 40, 15)
    copy.stop()
    return times


def time_enters(copy, listener, x, y):
    """Seconds from each Enter in the box at x, y to its message's last byte at the listener."""
    times = []
    for i in range(MESSAGES):
        copy.click(x, y)
        copy.type(f"mensaje {i:03d} #")
        time.sleep(0.2)
        began = time.monotonic()
        xdotool("key", "Return")
        arrived = float(listener.stdout.readline())
        times.append(arrived - began)
    listener.kill()
    return times


def listener_process():
    """A listener in the peer's namespace (a child of ours) that prints when each message ends."""
    code = (
        "import socket, sys, time\n"
        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        f"s.bind(('{ADDR_PEER}', {PORT})); s.listen(4); print('ready', flush=True)\n"
        "c, _ = s.accept(); c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)\n"
        "while True:\n"
        "    b = c.recv(65536)\n"
        "    if not b: break\n"
        "    if b.endswith(b'#'): print(time.monotonic(), flush=True)\n")
    peer = subprocess.Popen(["ip", "netns", "exec", NS_PEER, "python3", "-c", code], stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    return peer


FLOOD_S = 10
# The peer: as fast as the kernel takes it for FLOOD_S seconds, then what it
# handed over and what still waits in its own kernel (TIOCOUTQ).
FLOOD_CODE = (
    "import fcntl, socket, struct, sys, time\n"
    f"s = socket.create_connection(('{ADDR_COPY}', {PORT}))\n"
    "chunk = bytes((0x20 + i % 95 for i in range(1 << 20)))\n"
    "sent = 0; end = time.monotonic() + float(sys.argv[1])\n"
    "while time.monotonic() < end:\n"
    "    sent += s.send(chunk)\n"
    "out = struct.unpack('i', fcntl.ioctl(s.fileno(), 0x5411, b'\\0' * 4))[0]\n"
    "print(sent, out, flush=True)\n"
    "time.sleep(1)\n")


def waiting_in_copy():
    """Bytes that reached the copy's host and that it has not read (Recv-Q)."""
    out = run("ip", "netns", "exec", NS_COPY, "ss", "-Htn", "state", "established", f"( sport = :{PORT} )")
    return sum(int(line.split()[0]) for line in out.splitlines() if line.strip())


def flood(copy):
    """Bytes per second the program read of a 10 s flood."""
    # Each copy writes what it shows to its transcript's file: the one before
    # must not still be writing back to the disk meanwhile.
    subprocess.run(["sync"], check=True)
    copy.start()
    time.sleep(2)
    peer = subprocess.run(["ip", "netns", "exec", NS_PEER, "python3", "-c", FLOOD_CODE, str(FLOOD_S)],
                          capture_output=True, text=True, timeout=FLOOD_S + 60)
    sent, out = (int(v) for v in peer.stdout.split())
    read = sent - out - waiting_in_copy()
    copy.stop()
    return read / FLOOD_S


def answering(command, env):
    """The copy's window under a 20 s flood: its 10 ms timer and the lines it typed."""
    listener = subprocess.Popen(["ip", "netns", "exec", NS_PEER, "python3", "-c", (
        "import socket, time\n"
        f"s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('{ADDR_PEER}', {PORT}))\n"
        "s.listen(4); print('ready', flush=True); c, _ = s.accept(); got = b''\n"
        "while True:\n"
        "    b = c.recv(65536)\n"
        "    if not b: break\n"
        "    got += b\n"
        "print(got.count(b';'), flush=True)\n")], stdout=subprocess.PIPE, text=True)
    assert listener.stdout.readline().strip() == "ready"
    window = subprocess.Popen(["ip", "netns", "exec", NS_COPY, "env", *env, *command, "answering", ADDR_COPY,
                               ADDR_PEER, "25"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    time.sleep(4)
    subprocess.run(["ip", "netns", "exec", NS_PEER, "python3", "-c", FLOOD_CODE, "20"], capture_output=True,
                   timeout=120)
    words = window.stdout.read().split()
    window.wait(60)
    heard = int(listener.stdout.readline() or 0)
    listener.kill()
    return float(words[1]), int(words[2]), heard


def median_ms(values):
    return statistics.median(values) * 1000


def p90_ms(values):
    return sorted(values)[int(0.9 * (len(values) - 1))] * 1000


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    linux, folder, baseline, template = sys.argv[1:5]
    runs = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    work = tempfile.mkdtemp(prefix="vz-fig-")
    prefix = os.path.join(work, "prefix")
    subprocess.run(["cp", "-al", template, prefix], check=True)
    for name in os.listdir(template):
        if name.endswith(".reg"):  # Wine writes these: a copy of its own, not a link
            os.remove(os.path.join(prefix, name))
            shutil.copy(os.path.join(template, name), prefix)
    with open(os.path.join(prefix, "user.reg")) as f:
        registry = [line for line in f if line.strip() != '"Graphics"="null"']
    with open(os.path.join(prefix, "user.reg"), "w") as f:
        f.writelines(registry)
    server = start_x()
    make_network()
    try:
        wine_env = [f"WINEPREFIX={prefix}", "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
                    "QT_QPA_PLATFORM=windows"]
        exe = os.path.join(folder, "varlo-zintabel.exe")
        # The baseline runs from a copy of the program's folder, with its
        # DLLs and plugins; Qt Test's DLL, which the program does not carry,
        # from the Windows Qt's own folder.
        beside = os.path.join(work, "program")
        subprocess.run(["cp", "-al", folder, beside], check=True)
        shutil.copy(baseline, beside)
        raw = os.path.join(beside, os.path.basename(baseline))
        raw_env = [*wine_env, "WINEPATH=Z:" + os.environ["VZ_WINDOWS_QT_BIN"]]
        linux_copy = Copy([linux], ["QT_QPA_PLATFORM=xcb", "LC_ALL=C.UTF-8"])
        windows_copy = Copy(["wine", exe], wine_env)
        bare = Copy(["wine", raw, "bare"], raw_env, listens=False)
        f = {}

        def starts(copy, count):
            out = []
            for _ in range(count):
                out.append(copy.start())
                copy.stop()
            return out

        f["linux starts"] = starts(linux_copy, runs)
        f["wine first start"] = starts(windows_copy, 1)[0]  # starts Wine's server too
        f["windows starts"] = starts(windows_copy, runs)
        f["bare starts"] = starts(bare, runs)
        for name, copy in (("linux", linux_copy), ("windows", windows_copy), ("bare", bare)):
            copy.start()
            time.sleep(3)
            f[name + " resident"] = copy.resident_mib()
            if name != "bare":
                f[name + " latency"] = latency(copy)
            copy.stop()
        f["raw latency"] = raw_latency(Copy(["wine", raw, "sender", ADDR_PEER], raw_env, listens=False))
        f["linux flood"] = flood(linux_copy)
        f["windows flood"] = flood(windows_copy)
        f["raw flood"] = flood(Copy(["wine", raw, "sink", ADDR_COPY], raw_env))
        f["answering"] = answering(["wine", raw], raw_env)
        subprocess.run(["ip", "netns", "exec", NS_COPY, "env", *wine_env, "wineserver", "-k"])

        def yes(ok):
            return "yes" if ok else "NO"

        lin_start = median_ms([s for s, _ in f["linux starts"]])
        win_start = median_ms([s for s, _ in f["windows starts"]])
        bare_start = median_ms([s for s, _ in f["bare starts"]])
        mb = 1e6
        worst, typed, heard = f["answering"]
        print(f"copy figures, {runs} starts, {MESSAGES} messages, {FLOOD_S} s floods; load average "
              f"{open('/proc/loadavg').read().split()[0]}; Wine is not Windows")
        print("| figure | Windows copy under Wine | baseline, same run | target | met? |")
        print("| --- | --- | --- | --- | --- |")
        print(f"| flood read, 10 s | {f['windows flood'] / mb:.1f} MB/s | Linux copy {f['linux flood'] / mb:.1f} MB/s; "
              f"raw QTcpSocket sink under Wine {f['raw flood'] / mb:.1f} MB/s | ≥ ½ the Linux copy's | "
              f"{yes(f['windows flood'] >= f['linux flood'] / 2)} ({f['windows flood'] / f['linux flood']:.2f}×) |")
        win_lat, raw_lat = median_ms(f["windows latency"]), median_ms(f["raw latency"])
        print(f"| Enter to the message at the peer, median / p90 | {win_lat:.1f} / {p90_ms(f['windows latency']):.1f} ms "
              f"| raw sender under Wine {raw_lat:.1f} / {p90_ms(f['raw latency']):.1f} ms; Linux copy "
              f"{median_ms(f['linux latency']):.1f} / {p90_ms(f['linux latency']):.1f} ms | ≤ 4× raw | "
              f"{yes(win_lat <= 4 * raw_lat)} ({win_lat / raw_lat:.2f}×) |")
        print(f"| start-up to the window shown, median | {win_start:.0f} ms (first, with Wine's server: "
              f"{f['wine first start'][0] * 1000:.0f} ms) | bare Qt window under Wine {bare_start:.0f} ms; "
              f"Linux copy {lin_start:.0f} ms | ≤ 2× bare | {yes(win_start <= 2 * bare_start)} "
              f"({win_start / bare_start:.2f}×) |")
        print(f"| memory at rest (resident) | {f['windows resident']:.0f} MiB | bare Qt window under Wine "
              f"{f['bare resident']:.0f} MiB; Linux copy {f['linux resident']:.0f} MiB | — | — |")
        print(f"| under a 20 s flood: worst 10 ms timer delay; lines typed that reached the peer | {worst:.1f} ms; "
              f"{heard} of {typed} | — | < 100 ms; all | {yes(worst < 100 and heard == typed)} |")
        print("Measured from outside the programs (start-up polled every 5 ms; latency through xdotool and the X "
              "server, a few ms of it the same for all), but the timer, which the window measures itself.")
    finally:
        remove_network()
        server.terminate()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
