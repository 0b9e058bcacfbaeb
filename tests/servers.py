"""PostgreSQL and MariaDB servers of the test session's own.

Each server is made from the distribution's binaries in a temporary
directory, listens only on a Unix socket in that directory, and is stopped
and removed at the end of the session (conftest.py calls `stop_all`, and an
atexit hook does it too if the session is cut short). Nothing touches a system
service or its data.

PostgreSQL refuses to run as root, so under root (as in CI) both servers run
as the unprivileged user that their Debian package creates (postgres, mysql),
in a directory that user owns. The servers' environment drops the variables
of the sanitizer build (LD_PRELOAD of libasan and the sanitizer options),
which are meant for the test process only.

`get(kind)` starts the server on first use and returns it, or returns the
reason why it cannot run here (binaries or driver missing, start failed).
"""
from __future__ import annotations

import atexit
import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from itertools import count

# Variables that belong to the test process only.
_STRIPPED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
_START_TIMEOUT = 90.0
# Where the distribution's programs are, whatever the tests' PATH holds.
_SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def _environment():
    env = {k: v for k, v in os.environ.items() if k not in _STRIPPED}
    env["LC_ALL"] = "C"
    env["PATH"] = _SYSTEM_PATH
    return env


def _program(name):
    found = shutil.which(name, path=_SYSTEM_PATH)
    if not found:
        raise LookupError(f"{name} is not installed")
    return found


def _as_user(user, argv):
    """`argv` run as `user` when this process is root, else as it is."""
    if os.geteuid() != 0:
        return argv
    return [_program("setpriv"), f"--reuid={user}", f"--regid={user}", "--init-groups", *argv]


def _owned_directory(prefix, user):
    path = tempfile.mkdtemp(prefix=prefix)
    if os.geteuid() == 0:
        entry = pwd.getpwnam(user)
        os.chown(path, entry.pw_uid, entry.pw_gid)
    os.chmod(path, 0o755)
    return path


def _run(argv, log):
    with open(log, "ab") as out:
        proc = subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT, env=_environment(), timeout=300)
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({proc.returncode}):\n{_tail(log)}")


def _tail(log, lines=30):
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


@dataclass
class Server:
    kind: str
    root: str
    socket_dir: str
    process: subprocess.Popen | None = None
    _names: count = field(default_factory=lambda: count(1))

    def new_database(self, prefix):
        """The name of a new, empty database of this server."""
        name = f"{prefix}_{next(self._names)}"
        with self.connect() as conn:
            if self.kind == "postgresql":
                conn.execute(f'CREATE DATABASE "{name}"')
            else:
                with conn.cursor() as cur:
                    cur.execute(f"CREATE DATABASE `{name}`")
        return name

    def connect(self, database=None, **kwargs):
        """A DB-API connection (autocommit) to `database`, or to the server's
        maintenance database."""
        if self.kind == "postgresql":
            import psycopg

            return psycopg.connect(
                host=self.socket_dir, port=5432, user="postgres",
                dbname=database or "postgres", autocommit=True, **kwargs,
            )
        import pymysql

        return pymysql.connect(
            unix_socket=self.socket, user="root", database=database, autocommit=True, **kwargs
        )

    @property
    def socket(self):
        return os.path.join(self.socket_dir, "mysqld.sock")

    def url(self, database):
        """The SQLAlchemy URL of `database` on this server."""
        if self.kind == "postgresql":
            return f"postgresql+psycopg://postgres@/{database}?host={self.socket_dir}&port=5432"
        return f"mysql+pymysql://root@/{database}?unix_socket={self.socket}&charset=utf8mb4"

    def stop(self):
        proc, self.process = self.process, None
        if proc is not None and proc.poll() is None:
            # PostgreSQL's fast shutdown; MariaDB shuts down on SIGTERM.
            proc.send_signal(signal.SIGINT if self.kind == "postgresql" else signal.SIGTERM)
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def _wait_until_ready(server, log):
    deadline = time.monotonic() + _START_TIMEOUT
    while True:
        if server.process.poll() is not None:
            raise RuntimeError(f"{server.kind} exited ({server.process.returncode}):\n{_tail(log)}")
        try:
            server.connect().close()
            return
        except Exception:  # noqa: BLE001 - not accepting connections yet
            if time.monotonic() > deadline:
                raise RuntimeError(f"{server.kind} did not start in {_START_TIMEOUT:.0f} s:\n{_tail(log)}")
            time.sleep(0.2)


def _start(server, argv, log):
    out = open(log, "ab")  # noqa: SIM115 - the server keeps writing to it
    try:
        server.process = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            env=_environment(), start_new_session=True,
        )
    finally:
        out.close()
    _wait_until_ready(server, log)


def _launch(server, initialize, start):
    """Initializes the server's data directory, then starts it; removes
    everything again if either fails."""
    log = os.path.join(server.root, "server.log")
    try:
        _run(initialize, log)
        _start(server, start, log)
    except BaseException:
        server.stop()
        raise
    return server


def _postgresql():
    import psycopg  # noqa: F401 - the tests' driver

    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"), key=lambda p: int(p.split("/")[4]))
    if not found:
        raise LookupError("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/postgres)")
    bindir = os.path.dirname(found[-1])
    root = _owned_directory("sornquibid-pg-", "postgres")
    data = os.path.join(root, "data")
    return _launch(
        Server("postgresql", root, root),
        _as_user("postgres", [
            f"{bindir}/initdb", "-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
            "--locale=C", "--no-sync", "--no-instructions",
        ]),
        _as_user("postgres", [
            f"{bindir}/postgres", "-D", data, "-k", root, "-p", "5432",
            "-c", "listen_addresses=", "-c", "fsync=off", "-c", "synchronous_commit=off",
            "-c", "full_page_writes=off", "-c", "max_connections=50",
        ]),
    )


def _mariadb():
    import pymysql  # noqa: F401 - the tests' driver

    install, daemon = _program("mariadb-install-db"), _program("mariadbd")
    root = _owned_directory("sornquibid-maria-", "mysql")
    server = Server("mariadb", root, root)
    data = os.path.join(root, "data")
    return _launch(
        server,
        _as_user("mysql", [
            install, "--no-defaults", f"--datadir={data}", "--auth-root-authentication-method=normal",
            "--skip-test-db", "--skip-name-resolve",
        ]),
        _as_user("mysql", [
            daemon, "--no-defaults", f"--datadir={data}", f"--socket={server.socket}",
            "--skip-networking", f"--pid-file={root}/mysqld.pid", f"--log-error={root}/server.log",
            "--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0",
            "--innodb-buffer-pool-size=32M", "--character-set-server=utf8mb4",
        ]),
    )


_STARTERS = {"postgresql": _postgresql, "mariadb": _mariadb}
_started: dict[str, Server | str] = {}


def get(kind):
    """The running server of `kind` ("postgresql" or "mariadb"), started on
    first use, or the reason (a str) why there is none."""
    if kind not in _started:
        try:
            _started[kind] = _STARTERS[kind]()
        except ImportError as e:
            _started[kind] = f"{kind}: the driver is not installed ({e})"
        except (LookupError, KeyError) as e:
            _started[kind] = f"{kind}: {e.args[0]}"
        except (OSError, RuntimeError, subprocess.SubprocessError) as e:
            _started[kind] = f"{kind} could not be started: {e}"
    return _started[kind]


def stop_all():
    for kind in list(_started):
        server = _started.pop(kind)
        if isinstance(server, Server):
            server.stop()


atexit.register(stop_all)
