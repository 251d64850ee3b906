# Shared pieces of the agent benchmarks: a private bus, a temporary home, a recording notification server
# and the real agent. Debian's /usr/bin/python3 has the gi module (python3-gi).
import os
import shutil
import subprocess
import sys
import tempfile
import time

from gi.repository import Gio, GLib

HERE = os.path.dirname(os.path.abspath(__file__))


class Bench:
    """A temporary home with ~/Library/LaunchAgents, a private bus and, on request, the agent."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.root = tempfile.mkdtemp(prefix="quorvel-bench.")
        self.home = os.path.join(self.root, "home")
        self.agents = os.path.join(self.home, "Library", "LaunchAgents")
        os.makedirs(self.agents)
        # The main application's folder, where its exceptions file goes: the agent's last watch.
        self.exceptions_folder = os.path.join(self.home, "Library", "Application Support", "Quorvel")
        os.makedirs(self.exceptions_folder)
        for sub in ("config", "data", "cache", "runtime"):
            os.makedirs(os.path.join(self.root, sub))
        os.chmod(os.path.join(self.root, "runtime"), 0o700)
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as out:
            out.write(f"""<busconfig><type>session</type><listen>unix:dir={self.root}</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
""")
        self.daemon = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self.server = None
        self.agent = None

    def environment(self):
        return {
            "HOME": self.home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"), "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"), "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"),
            "DBUS_SESSION_BUS_ADDRESS": self.address,
        }

    def start_server(self):
        """The recording notification server: one line per Notify, "<monotonic ns> <body>"."""
        self.server = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "notification-recorder"), self.address],
                                       stdout=subprocess.PIPE, text=True)
        assert self.server.stdout.readline().strip() == "ready"

    def next_notification(self, timeout=30):
        line = self.server.stdout.readline()
        if not line:
            raise RuntimeError("the notification server ended")
        stamp, body = line.rstrip("\n").split(" ", 1)
        return int(stamp), body

    def owns(self, name):
        reply = self.connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                          "NameHasOwner", GLib.Variant("(s)", (name,)), GLib.VariantType("(b)"),
                                          Gio.DBusCallFlags.NONE, 5000, None)
        return reply.unpack()[0]

    def agent_name(self):
        entries = [f for f in os.listdir(os.path.join(self.build, "agent", "frameworks", "linux"))
                   if f.endswith(".QuorvelAgent.desktop")]
        return entries[0][: -len(".desktop")] if entries else "app.quorvel.Quorvel.QuorvelAgent"

    def agent_program(self):
        return os.path.join(self.build, "agent", "frameworks", "linux", "QuorvelAgent")

    def start_agent(self):
        """Starts the agent; returns the seconds from its start until it watches every folder (from then on no
        change can be missed: its last watch, the exceptions folder's, is in place) and until it owns its bus
        name."""
        name = self.agent_name()
        last_watch = os.stat(self.exceptions_folder).st_ino
        start = time.monotonic()
        self.agent = subprocess.Popen([self.agent_program()], env=self.environment(),
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        watching = None
        while True:
            if watching is None and watches_inode(self.agent.pid, last_watch):
                watching = time.monotonic() - start
            if watching is not None and self.owns(name):
                return watching, time.monotonic() - start
            if self.agent.poll() is not None:
                raise RuntimeError("the agent ended at start")
            if time.monotonic() - start > 30:
                raise RuntimeError("the agent did not watch and own its name within 30 s")
            time.sleep(0.0005)

    def close(self):
        for process in (self.agent, self.server):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait()
        self.connection.close_sync(None)
        self.daemon.terminate()
        self.daemon.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def watches_inode(pid, inode):
    """Whether the process holds an inotify watch on the file with that inode number."""
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return False
    for fd in descriptors:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:inotify":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                for line in info:
                    if line.startswith("inotify wd:") and int(line.split(" ino:")[1].split()[0], 16) == inode:
                        return True
        except (FileNotFoundError, IndexError, ValueError):
            pass
    return False


def make_corpus(folder, count):
    subprocess.run([sys.executable, os.path.join(HERE, "make-job-corpus"), folder, str(count)], check=True)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def memory(pid):
    """Resident, proportional and private (Private_Clean + Private_Dirty) memory of a process, in KB."""
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                values[parts[0][:-1]] = int(parts[1])
    return {"rss": values.get("Rss", 0), "pss": values.get("Pss", 0),
            "uss": values.get("Private_Clean", 0) + values.get("Private_Dirty", 0)}
