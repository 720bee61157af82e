"""A PostgreSQL server of the tests' own: Debian's server binaries, a cluster made with initdb in a
temporary folder, listening only on a Unix socket there (no TCP port), stopped and removed after
the session. initdb refuses root: as root, the cluster is the postgres user's.

The superuser and the writer role sign in with passwords (scram), so that the tests can check
where a password goes. Without the server the tests skip, except in CI (CI set, or
VESK_REQUIRE_POSTGRES=1), where a missing server fails them: scripts/setup-postgres installs it.
"""

import glob
import itertools
import os
import shutil
import subprocess
import tempfile
import urllib.parse

import pytest

ADMIN_PASSWORD = "adm1n-Secret-Pw"
WRITER_PASSWORD = "wr1ter-Secret-Pw"
READER_PASSWORD = "r3ader-Secret-Pw"


def _bin_dir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda path: int(path.split("/")[-3]))
    return os.path.dirname(found[-1]) if found else None


def _required():
    return bool(os.environ.get("CI")) or os.environ.get("VESK_REQUIRE_POSTGRES") == "1"


class Server:
    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.folder = tempfile.mkdtemp(prefix="vesk-pg-")
        self.data = os.path.join(self.folder, "data")
        self.as_postgres = os.geteuid() == 0
        self.databases = itertools.count()
        if self.as_postgres:
            shutil.chown(self.folder, "postgres", "postgres")

    def _run(self, *command):
        command = [os.path.join(self.bin_dir, command[0]), *command[1:]]
        if self.as_postgres:
            command = ["runuser", "-u", "postgres", "--", *command]
        # The server is not what is tested: it runs without the sanitizer runtime that a
        # sanitizer run preloads into every process.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        subprocess.run(command, check=True, capture_output=True, timeout=120, env=env)

    def start(self, fsync=False):
        """Starts the server; without fsync (the tests' own data, gone after them) unless asked."""
        pwfile = os.path.join(self.folder, "pw")
        with open(pwfile, "w") as file:
            file.write(ADMIN_PASSWORD + "\n")
        if self.as_postgres:
            shutil.chown(pwfile, "postgres", "postgres")
        self._run("initdb", "-D", self.data, "-U", "vesk_admin", "--pwfile", pwfile,
                  "-A", "scram-sha-256", "-E", "UTF8", "--no-sync")
        os.unlink(pwfile)
        options = f"-c listen_addresses='' -c unix_socket_directories='{self.folder}'"
        if not fsync:
            options += " -c fsync=off"
        self._run("pg_ctl", "-D", self.data, "-o", options, "-l", os.path.join(self.folder, "log"),
                  "-w", "start")

    def stop(self):
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)

    def url(self, user="vesk_admin", password=ADMIN_PASSWORD, database="postgres"):
        auth = user if password is None else f"{user}:{urllib.parse.quote(password)}"
        return f"postgresql://{auth}@/{database}?host={urllib.parse.quote(self.folder, safe='')}"

    def admin(self, database="postgres"):
        import psycopg

        return psycopg.connect(self.url(database=database), autocommit=True)

    def new_database(self):
        """A database owned by the role vesk_writer, with a role vesk_reader that may only read it:
        a URL per role, with their passwords."""
        name = f"traces{os.getpid()}_{next(self.databases)}"
        with self.admin() as conn:
            conn.execute(f"CREATE DATABASE {name} OWNER vesk_writer")
        with self.admin(name) as conn:
            conn.execute("ALTER DEFAULT PRIVILEGES FOR ROLE vesk_writer GRANT SELECT ON TABLES TO vesk_reader")
            conn.execute("REVOKE CREATE ON SCHEMA public FROM PUBLIC")
        return Database(self, name)


class Database:
    def __init__(self, server, name):
        self.server = server
        self.name = name
        self.url = server.url("vesk_writer", WRITER_PASSWORD, name)
        self.reader_url = server.url("vesk_reader", READER_PASSWORD, name)


@pytest.fixture(scope="session")
def postgres_server():
    bin_dir = _bin_dir()
    if bin_dir is None:
        message = "PostgreSQL's server is not installed (scripts/setup-postgres installs it)"
        if _required():
            pytest.fail(message)
        pytest.skip(message)
    try:
        import psycopg
    except ImportError:
        if _required():
            pytest.fail("psycopg is not installed")
        pytest.skip("psycopg is not installed")
    server = Server(bin_dir)
    try:
        server.start()
        with server.admin() as conn:
            conn.execute(f"CREATE ROLE vesk_writer LOGIN PASSWORD '{WRITER_PASSWORD}'")
            conn.execute(f"CREATE ROLE vesk_reader LOGIN PASSWORD '{READER_PASSWORD}'")
    except BaseException:
        server.stop()
        raise
    yield server
    server.stop()


@pytest.fixture
def pg(postgres_server):
    """A new database on the tests' server (see Server.new_database)."""
    return postgres_server.new_database()
