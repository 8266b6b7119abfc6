"""usage: exporter_test.py tls|prometheus|load QUILLON_STATE FIXTURES [RSS_SLACK_KIB]

quillon-state serve, built on the HTTP exporter, as real clients meet it over TLS with basic
authentication: curl and its client certificates (tls), a Prometheus server scraping it and one
with the wrong password (prometheus), Python clients, wrk, idle, slow and oversized clients
(load). FIXTURES holds the fixture node's proc and sys trees. Certificates come from openssl,
hashes from htpasswd. RSS_SLACK_KIB is the allocator noise the load check allows. Every process
started is stopped, also on failure."""

import concurrent.futures
import contextlib
import http.client
import json
import pathlib
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from prometheus_client.openmetrics.parser import text_string_to_metric_families

from harness import make_pki, prometheus, query, run, serve, web_config

SUBJECTS = {"system:lab", "host:lab/lab", "network:lab/eth0", "network:lab/lo"} | {
    f"device:lab/{name}" for name in ("card0", "card1", "cpu0", "cpu1", "dm-0", "nvme0n1", "sda",
                                      "sdb")}
BAD_LOGIN = {"Authorization": "Basic YWxpY2U6d3Jvbmc="}  # alice:wrong
LOGIN = {"Authorization": "Basic YWxpY2U6c2VjcmV0"}  # alice:secret


@contextlib.contextmanager
def serving(binary, fixtures, config):
    with serve(binary, "--proc", f"{fixtures}/proc", "--sys", f"{fixtures}/sys", "--system-id",
               "lab", "--host-id", "lab", "--web-config", config) as (process, url):
        assert url.startswith("https://127.0.0.1:"), url
        yield process, int(url.rsplit(":", 1)[1])


def curl(folder, url, *arguments):
    """Returns curl's exit status, the HTTP status, the headers and the body."""
    done = subprocess.run(["curl", "-sS", "--cacert", str(folder / "ca.crt"), "-D", "-",
                           "--max-time", "20", *arguments, url], capture_output=True)
    head, _, body = done.stdout.partition(b"\r\n\r\n")
    status = int(head.split()[1]) if head.startswith(b"HTTP/") else None
    return done.returncode, status, head.decode() + "\r\n", body


def check_tls(binary, fixtures, folder):
    users = make_pki(folder)
    with serving(binary, fixtures, web_config(folder, "web.yml", users)) as (_, port):
        url = f"https://localhost:{port}"
        for login, status in ((["-u", "alice:secret"], 200), (["-u", "alice:wrong"], 401), ([], 401)):
            code, got, head, body = curl(folder, url + "/snapshot?epoch=4&barrier_sequence=9", *login)
            assert (code, got) == (0, status), (login, code, got, head)
            if status == 401:
                assert "WWW-Authenticate: Basic\r\n" in head, head
            else:
                document = json.loads(body)
                assert (document["epoch"], document["barrier_sequence"]) == (4, 9), document
        code, got, head, body = curl(folder, url + "/metrics", "-u", "alice:secret", "--compressed")
        assert "Content-Encoding: gzip" in head and body.endswith(b"# EOF\n"), head
        code, got, head, _ = curl(folder, f"http://127.0.0.1:{port}/metrics", "-u", "alice:secret")
        assert code in (52, 56) and got is None, f"plain HTTP to the TLS port: {code} {head!r}"
    certificates = {"none": [], "client": ["--cert", str(folder / "client.crt"), "--key",
                                           str(folder / "client.key")],
                    "stranger": ["--cert", str(folder / "stranger.crt"), "--key",
                                 str(folder / "stranger.key")]}
    ca = "  client_ca_file: ca.crt\n"
    for mode, extra, admitted in (
            ("NoClientCert", "", {"none", "client", "stranger"}),
            ("RequestClientCert", "", {"none", "client", "stranger"}),
            ("RequireAnyClientCert", "", {"client", "stranger"}),
            ("VerifyClientCertIfGiven", ca, {"none", "client"}),
            ("RequireAndVerifyClientCert", ca + "  min_version: TLS13\n", {"client"})):
        with serving(binary, fixtures, web_config(folder, f"{mode}.yml", users, mode, extra)) as (_, port):
            for name, arguments in certificates.items():
                code, status, _, _ = curl(folder, f"https://127.0.0.1:{port}/metrics",
                                          "-u", "alice:secret", *arguments)
                assert (status == 200) == (name in admitted), (mode, name, code, status)
            if "TLS13" in extra:
                code, status, _, _ = curl(folder, f"https://127.0.0.1:{port}/metrics", "--tls-max",
                                          "1.2", *certificates["client"])
                assert status is None, f"TLS 1.2 accepted under min_version TLS13: {code}"
    run("openssl", "ec", "-in", "server.key", "-out", "locked.key", "-aes256", "-passout",
        "pass:x", cwd=folder)
    locked = web_config(folder, "locked.yml", users)
    locked.write_text(locked.read_text().replace("server.key", "locked.key"))
    for config, expected in (
            (web_config(folder, "typo.yml", users.replace("basic_auth_users", "basic_auth_user")),
             r".*typo\.yml:4: web config: unknown key \"basic_auth_user\" .*"),
            (locked, r".*locked\.key: cannot load private key: encrypted keys are not supported"),
            ("", r"--web-config: empty file name \(see --help\)")):
        refused = subprocess.run([binary, "serve", "--listen", "127.0.0.1:0", "--web-config",
                                  str(config)], capture_output=True, text=True, timeout=30)
        assert refused.returncode == 2 and re.fullmatch(
            f"quillon-state: {expected}\n", refused.stderr), (config, refused.stderr)


def tls_context(folder):
    return ssl.create_default_context(cafile=str(folder / "ca.crt"))


def request(port, context, path, headers=LOGIN, connection=None):
    connection = connection or http.client.HTTPSConnection("127.0.0.1", port, timeout=20,
                                                           context=context)
    connection.request("GET", path, headers=headers)
    response = connection.getresponse()
    return response.status, response.getheader("Content-Type"), response.read()


def check_metrics(body):
    assert body.endswith(b"# EOF\n"), "exposition does not end with # EOF"
    list(text_string_to_metric_families(body.decode("utf-8")))


def check_snapshot(body):
    document = json.loads(body, parse_constant=lambda name: 1 / 0)
    assert document["status"] == "complete" and {s["id"] for s in document["subjects"]} == \
        SUBJECTS, f"snapshot not complete over the fixture: {body[:200]!r}"
    return document["barrier_sequence"]


def check_prometheus(binary, fixtures, folder):
    users = make_pki(folder)
    with serving(binary, fixtures, web_config(folder, "web.yml", users)) as (_, serve_port):
        context = tls_context(folder)
        sequences = [check_snapshot(request(serve_port, context, "/snapshot")[2]) for _ in range(3)]
        assert sequences == sorted(set(sequences)), f"barrier sequences {sequences}"
        status, content_type, body = request(serve_port, context, "/metrics",
                                             dict(LOGIN, Accept="application/openmetrics-text"))
        assert status == 200 and content_type.startswith("application/openmetrics-text"), status
        check_metrics(body)
        promtool = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
        assert promtool.returncode == 0, f"promtool: {promtool.stdout} {promtool.stderr}"
        jobs = "".join(
            f"  - job_name: {job}\n    scheme: https\n    tls_config: {{ca_file: {folder / 'ca.crt'}}}\n"
            f"    basic_auth: {{username: alice, password: {password}}}\n"
            f"    static_configs: [{{targets: ['127.0.0.1:{serve_port}']}}]\n"
            for job, password in (("quillon", "secret"), ("intruder", "wrong")))
        with prometheus(folder, jobs) as port:
            up = {u["metric"]["job"]: u["value"][1] for u in query(port, "up")}
            assert up == {"quillon": "1", "intruder": "0"}, f"up {up}"
            captured = query(port, 'quillon_subject_status{job="quillon",status="captured"} == 1')
            assert {c["metric"]["subject"] for c in captured} == SUBJECTS, captured


def rss_kib(pid):
    return int(pathlib.Path(f"/proc/{pid}/status").read_text().split("VmRSS:")[1].split()[0])


def load(port, context, seconds, clients=8):
    """Scrapes /metrics and /snapshot in turn from each client over one kept-alive connection
    (opened again whenever the exporter closes it); returns answers and failures."""
    answers, failures, until = [], [], time.monotonic() + seconds

    def client():
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=20, context=context)
        while time.monotonic() < until:
            path = ("/metrics", "/snapshot")[len(answers) % 2]
            try:
                status, _, body = request(port, context, path, connection=connection)
                assert status == 200, status
                (check_metrics if path == "/metrics" else check_snapshot)(body)
                answers.append(path)
            except Exception as error:  # every failure counts, and the run goes on
                failures.append(f"{path}: {error!r}")
                connection.close()

    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        for _ in range(clients):
            pool.submit(client)
    return len(answers), failures


def closed_after(connection, trickle=b""):
    """Seconds until the exporter closes `connection`, sent `trickle` one byte a second."""
    start = time.monotonic()
    connection.settimeout(1)
    with contextlib.suppress(OSError):  # a reset, or TLS cut short, is a close too
        while True:
            try:
                if not connection.recv(4096):
                    break
            except TimeoutError:
                connection.send(trickle[:1])
                trickle = trickle[1:]
    return time.monotonic() - start


def check_load(binary, fixtures, folder, slack_kib):
    users = make_pki(folder)
    context = tls_context(folder)
    with serving(binary, fixtures, web_config(folder, "web.yml", users)) as (serve, port):
        # Slow clients, alongside the load: one silent, one sending a byte a second.
        silent = socket.create_connection(("127.0.0.1", port))
        slow = context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                   server_hostname="localhost")
        slow_times = []
        slowpokes = [threading.Thread(target=lambda c=c, t=t: slow_times.append(closed_after(c, t)))
                     for c, t in ((silent, b""), (slow, b"GET /metrics HTTP/1.1\r\n" + b"X" * 60))]
        for thread in slowpokes:
            thread.start()
        _, failures = load(port, context, 5)  # warm-up: the allocator has grown what it keeps
        before = rss_kib(serve.pid)
        answers, more = load(port, context, 10)
        after = rss_kib(serve.pid)
        print(f"load: {answers} answers from 8 clients in 10 s, {len(failures + more)} failures; "
              f"RSS {before} KiB -> {after} KiB")
        assert answers and not failures + more, (failures + more)[:3]
        assert after <= before + int(slack_kib), "resident memory grew"
        for thread in slowpokes:
            thread.join()
        print("silent and slow clients cut off after " + ", ".join(f"{t:.1f} s" for t in slow_times))
        assert len(slow_times) == 2 and max(slow_times) < 15, f"slow clients held {slow_times} s"

        # 64 idle connections, half of them after an answer, delay no scrape.
        idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(32)]
        for _ in range(32):
            kept = http.client.HTTPSConnection("127.0.0.1", port, timeout=20, context=context)
            assert request(port, context, "/metrics", connection=kept)[0] == 200
            idle.append(kept)
        start = time.monotonic()
        assert request(port, context, "/metrics")[0] == 200
        waited = time.monotonic() - start
        assert waited < 1, f"a scrape beside 64 idle connections took {waited:.2f} s"
        for connection in idle:
            connection.close()

        # A request larger than any scrape is cut off, and the exporter goes on.
        with context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                 server_hostname="localhost") as big:
            big.sendall(b"GET /metrics HTTP/1.1\r\n" + b"X-Filler: " + b"y" * 4000 + b"\r\n" * 1)
            with contextlib.suppress(OSError):
                for _ in range(10):
                    big.sendall(b"X-Filler: " + b"y" * 4000 + b"\r\n")
            answer = b""
            with contextlib.suppress(OSError):
                answer = big.recv(4096)
            assert not answer.startswith(b"HTTP/1.1 200"), answer[:100]

        # A request line it cannot read ends the connection: what follows is no second request.
        with context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                 server_hostname="localhost") as garbled:
            garbled.sendall(b"BAD\r\nGET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            answer = b""
            with contextlib.suppress(OSError):
                while chunk := garbled.recv(4096):
                    answer += chunk
            assert answer.startswith(b"HTTP/1.1 400") and answer.count(b"HTTP/1.1") == 1, answer

        wrk = run("wrk", "-t2", "-c16", "-d3s", "-H", f"Authorization: {LOGIN['Authorization']}",
                  f"https://127.0.0.1:{port}/metrics")
        print(wrk)
        assert "Non-2xx" not in wrk and re.search(r"(\d+) requests in", wrk), wrk
        assert "Socket errors" not in wrk or ", timeout 0" in wrk, wrk


def main(mode, binary, fixtures, slack_kib="0"):
    with tempfile.TemporaryDirectory() as workdir:
        folder = pathlib.Path(workdir)
        if mode == "tls":
            check_tls(binary, fixtures, folder)
        elif mode == "prometheus":
            check_prometheus(binary, fixtures, folder)
        else:
            check_load(binary, fixtures, folder, slack_kib)
    print(f"exporter {mode}: all checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
