"""What the integration tests share: certificates and password hashes, quillon-state serve on a
free port, and a Prometheus server to scrape it. Every process started is stopped on the way out,
also on failure."""

import contextlib
import http.client
import json
import os
import select
import socket
import subprocess
import time
import urllib.parse


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def make_pki(folder):
    """A CA, a server certificate for 127.0.0.1 and localhost, a client certificate from the CA
    and a self-signed stranger; returns the basic_auth_users section for alice:secret."""
    def key_and_request(name, subject):
        run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", subject, cwd=folder)

    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
        "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "1", "-subj", "/CN=test CA",
        cwd=folder)
    (folder / "san.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name, extension in (("server", ["-extfile", "san.ext"]), ("client", [])):
        key_and_request(name, f"/CN={name}")
        run("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "1", "-out", f"{name}.crt", *extension, cwd=folder)
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
        "-nodes", "-keyout", "stranger.key", "-out", "stranger.crt", "-days", "1", "-subj",
        "/CN=stranger", cwd=folder)
    bcrypt = run("htpasswd", "-nbBC", "10", "alice", "secret").strip().split(":", 1)[1]
    return f"basic_auth_users:\n  alice: '{bcrypt}'\n"


def web_config(folder, name, users, client_auth=None, extra=""):
    tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n" + extra
    if client_auth:
        tls += f"  client_auth_type: {client_auth}\n"
    (folder / name).write_text(tls + users)
    return folder / name


@contextlib.contextmanager
def serve(binary, *arguments):
    """quillon-state serve on a free loopback port; yields the process and its base URL."""
    process = subprocess.Popen(
        [binary, "serve", "--listen", "127.0.0.1:0", *map(str, arguments)],
        stdout=subprocess.PIPE, text=True,
        env=dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0"))  # freed is free
    try:
        assert select.select([process.stdout], [], [], 30)[0], "serve named no address"
        line = process.stdout.readline()
        assert line.startswith("quillon-state: serving http"), line
        yield process, line.split()[2].rsplit("/", 1)[0]
        process.terminate()
        assert process.wait(timeout=10) == 0, f"status {process.returncode} on SIGTERM"
    finally:
        process.kill()
        process.wait()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def query(port, promql):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", "/api/v1/query?" + urllib.parse.urlencode({"query": promql}))
    return json.loads(connection.getresponse().read())["data"]["result"]


@contextlib.contextmanager
def prometheus(folder, jobs):
    """A Prometheus server scraping `jobs` (scrape_configs entries, YAML) every second; yields
    its port once every job has been scraped once."""
    port = free_port()
    (folder / "prometheus.yml").write_text(
        "global: {scrape_interval: 1s}\nscrape_configs:\n" + jobs)
    log = folder / "prometheus.log"
    process = subprocess.Popen(
        ["prometheus", f"--config.file={folder / 'prometheus.yml'}",
         f"--storage.tsdb.path={folder / 'data'}", f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=log.open("w"))
    try:
        up = []
        for _ in range(60):
            time.sleep(1)
            with contextlib.suppress(OSError, http.client.HTTPException):  # not listening yet
                up = query(port, "up")
            if len(up) == jobs.count("job_name"):
                break
        assert len(up) == jobs.count("job_name"), f"up {up}\n{log.read_text()[-2000:]}"
        yield port
    finally:
        process.kill()
        process.wait()


def wait_for(check, seconds=20):
    """Polls `check` every 0.2 s until it returns something true; returns its last value."""
    until = time.monotonic() + seconds
    while not (value := check()) and time.monotonic() < until:
        time.sleep(0.2)
    return value
