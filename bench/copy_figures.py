#!/usr/bin/env python3
"""The Windows copy under Wine beside the Linux copy, in the same run.

  copy_figures.py LINUX_PROGRAM WINDOWS_FOLDER WINE_PREFIX [RUNS]

Each copy runs as a user starts it, in a network namespace of its own under
an Xvfb display of its own; a listener on the other end of a veth pair is
its peer. Printed, each figure beside the other copy's:
  start-up: from starting the process to its window shown with its caption,
    and to its listening on 49577 (median of RUNS, 5 by default); for Wine
    the first start, which also starts Wine's server, apart;
  message latency: from the Enter key pressed (xdotool, through the X server)
    to the message's last byte at the peer (median and 90th percentile of
    40 messages).
Needs root (ip netns), Xvfb, xdotool, ss and wine. tools/windows_figures.sh
builds both programs and runs this.
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
    def __init__(self, command, env):
        self.command, self.env = command, env
        self.process = None
        self.window = None

    def start(self):
        """Starts the copy; returns seconds to the window with its caption, and to listening."""
        began = time.monotonic()
        self.process = subprocess.Popen(["ip", "netns", "exec", NS_COPY, "env", *self.env, *self.command],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shown = heard = None
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

    def click(self, x, y):
        # Without a window manager a click does not move the keyboard's focus.
        xdotool("windowfocus", "--sync", self.window)
        xdotool("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "20", "--", text], timeout=30)


def latency(copy):
    """Connects the copy to a listener in the other namespace and times each Enter."""
    # The listener runs inside the peer's namespace, in a child of ours.
    listener_code = (
        "import socket, sys, time\n"
        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        f"s.bind(('{ADDR_PEER}', {PORT})); s.listen(4); print('ready', flush=True)\n"
        "c, _ = s.accept(); c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)\n"
        "while True:\n"
        "    b = c.recv(65536)\n"
        "    if not b: break\n"
        "    if b.endswith(b'#'): print(time.monotonic(), flush=True)\n")
    peer = subprocess.Popen(["ip", "netns", "exec", NS_PEER, "python3", "-c", listener_code],
                            stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    # TxtIp, Conectar and TxtMensaje at 96 dpi (twips / 15).
    copy.click(16 + 80, 8 + 9)
    xdotool("key", "ctrl+a", "BackSpace")
    copy.type(ADDR_PEER)
    copy.click(184 + 36, 8 + 12)
    time.sleep(1.5)
    times = []
    for i in range(MESSAGES):
        copy.click(16 + 130, 344 + 16)
        copy.type(f"mensaje {i:03d} #")
        time.sleep(0.2)
        began = time.monotonic()
        xdotool("key", "Return")
        arrived = float(peer.stdout.readline())
        times.append(arrived - began)
    peer.kill()
    return times


def median_ms(values):
    return statistics.median(values) * 1000


def p90_ms(values):
    return sorted(values)[int(0.9 * (len(values) - 1))] * 1000


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    linux, folder, template = sys.argv[1], sys.argv[2], sys.argv[3]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
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
        copies = {
            "Linux": Copy([linux], ["QT_QPA_PLATFORM=xcb", "LC_ALL=C.UTF-8"]),
            "Windows under Wine": Copy(["wine", os.path.join(folder, "varlo-zintabel.exe")], wine_env),
        }
        figures = {}
        for name, copy in copies.items():
            starts = []
            for i in range(runs + (1 if copy.command[0] == "wine" else 0)):
                starts.append(copy.start())
                if i < runs - 1 + (1 if copy.command[0] == "wine" else 0):
                    copy.stop()
            figures[name] = {"starts": starts, "latency": latency(copy)}
            copy.stop()
            if copy.command[0] == "wine":
                subprocess.run(["ip", "netns", "exec", NS_COPY, "env", *wine_env, "wineserver", "-k"])
        print(f"copy figures, {runs} starts and {MESSAGES} messages each, load average "
              f"{open('/proc/loadavg').read().split()[0]}")
        print("| figure | Linux copy | Windows copy under Wine |")
        print("| --- | --- | --- |")
        lin, win = figures["Linux"], figures["Windows under Wine"]
        cold = win["starts"][0]
        warm = win["starts"][1:]
        print(f"| start-up to the window with its caption, median | {median_ms([s for s, _ in lin['starts']]):.0f} ms "
              f"| {median_ms([s for s, _ in warm]):.0f} ms (first start, with Wine's server: {cold[0] * 1000:.0f} ms) |")
        print(f"| start-up to listening on {PORT}, median | {median_ms([h for _, h in lin['starts']]):.0f} ms "
              f"| {median_ms([h for _, h in warm]):.0f} ms (first start: {cold[1] * 1000:.0f} ms) |")
        print(f"| Enter to the message at the peer, median / 90th percentile | {median_ms(lin['latency']):.1f} / "
              f"{p90_ms(lin['latency']):.1f} ms | {median_ms(win['latency']):.1f} / {p90_ms(win['latency']):.1f} ms |")
        print("Measured from outside the programs, by polling every 5 ms (start-up) and through xdotool and the X "
              "server (latency: the key press by a fresh xdotool process, a few ms of it the same for both).")
    finally:
        remove_network()
        server.terminate()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
