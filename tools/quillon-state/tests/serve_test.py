"""quillon-state serve as Prometheus meets it: a real Prometheus server scrapes it every second.

usage: serve_test.py QUILLON_STATE FIXTURE_PROC

Starts `quillon-state serve` on a free loopback port over the fixture proc tree and checks its
answers (statuses, content types, promtool, strict parsers); starts Debian's prometheus on another
loopback port and asks its query API for the scraped series; then 8 clients scrape for 10 seconds
and every answer must be whole and valid while the server's resident memory stays flat. Every
process started is stopped, also on failure. Run with /usr/bin/python3 (prometheus_client).
"""

import http.client
import json
import os
import pathlib
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from prometheus_client.openmetrics.parser import text_string_to_metric_families

OPENMETRICS = "application/openmetrics-text; version=1.0.0; charset=utf-8"
SUBJECTS = {"system:lab", "host:lab/lab", "device:lab/cpu0", "device:lab/cpu1",
            "network:lab/eth0", "network:lab/lo"}
CLIENTS, LOAD_SECONDS = 8, 10
# Allocator noise, not a leak: a leak of even 100 bytes per request outgrows it within the run.
RSS_SLACK_KIB = 1024


def fail(message):
    raise AssertionError(message)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def request(port, method, path, timeout=10):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()


def check_metrics(body):
    """Parses an exposition strictly; returns its families by name."""
    text = body.decode("utf-8")
    if not text.endswith("# EOF\n"):
        fail("exposition does not end with # EOF")
    return {family.name: family for family in text_string_to_metric_families(text)}


def check_snapshot(body):
    def strict(pairs):
        if len({key for key, _ in pairs}) != len(pairs):
            fail("duplicate key")
        return dict(pairs)
    document = json.loads(body, object_pairs_hook=strict,
                          parse_constant=lambda name: fail(f"{name} in snapshot"))
    if document["status"] != "complete" or {s["id"] for s in document["subjects"]} != SUBJECTS:
        fail(f"snapshot not complete over the fixture subjects: {body[:200]!r}")
    return document


def check_answers(port):
    # method, path, status, content type
    table = [
        ("GET", "/metrics", 200, OPENMETRICS),
        ("GET", "/snapshot", 200, "application/json"),
        ("HEAD", "/metrics", 200, OPENMETRICS),
        ("POST", "/metrics", 405, None),
        ("DELETE", "/snapshot", 405, None),
        ("GET", "/", 404, None),
        ("GET", "/metrics/x", 404, None),
    ]
    for method, path, want_status, want_type in table:
        status, content_type, _ = request(port, method, path)
        if status != want_status or (want_type and content_type != want_type):
            fail(f"{method} {path}: {status} {content_type}, want {want_status} {want_type}")
    sequences = [check_snapshot(request(port, "GET", "/snapshot")[2])["barrier_sequence"]
                 for _ in range(3)]
    if sequences != sorted(set(sequences)):
        fail(f"barrier sequences do not ascend: {sequences}")
    body = request(port, "GET", "/metrics")[2]
    check_metrics(body)
    promtool = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True,
                              timeout=60)
    if promtool.returncode != 0:
        fail(f"promtool check metrics: {promtool.stdout!r} {promtool.stderr!r}")


def query(port, promql):
    url = "/api/v1/query?" + urllib.parse.urlencode({"query": promql})
    status, _, body = request(port, "GET", url)
    answer = json.loads(body)
    if status != 200 or answer["status"] != "success":
        fail(f"query {promql}: {status} {body[:200]!r}")
    return answer["data"]["result"]


def check_prometheus(workdir, serve_port, processes):
    prometheus_port = free_port()
    config = workdir / "prometheus.yml"
    config.write_text(
        "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
        "scrape_configs:\n"
        f"  - {{job_name: quillon, static_configs: [{{targets: ['127.0.0.1:{serve_port}']}}]}}\n")
    processes.append(subprocess.Popen(
        ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={workdir / 'data'}",
         f"--web.listen-address=127.0.0.1:{prometheus_port}"],
        stdout=subprocess.DEVNULL, stderr=(workdir / "prometheus.log").open("w")))
    found = None
    for _ in range(60):
        time.sleep(1)
        try:
            complete = query(prometheus_port, 'quillon_snapshot_complete{system_id="lab"}')
        except (OSError, http.client.HTTPException):
            continue  # not listening yet
        if complete:
            found = complete
            break
    if not found or found[0]["value"][1] != "1":
        log = (workdir / "prometheus.log").read_text()[-2000:]
        fail(f"prometheus has no quillon_snapshot_complete of 1: {found}\n{log}")
    captured = query(prometheus_port, 'quillon_subject_status{status="captured"} == 1')
    subjects = {series["metric"]["subject"] for series in captured}
    if subjects != SUBJECTS:
        fail(f"prometheus holds subjects {sorted(subjects)}, want {sorted(SUBJECTS)}")


def rss_kib(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    fail("no VmRSS")


def load(port, seconds):
    """CLIENTS threads scrape /metrics and /snapshot in turn; returns answers and failures."""
    answers, failures, lock = [0], [], threading.Lock()
    until = time.monotonic() + seconds

    def client():
        paths = ("/metrics", "/snapshot")
        turn = 0
        while time.monotonic() < until:
            path = paths[turn % 2]
            turn += 1
            try:
                status, _, body = request(port, "GET", path)
                if status != 200:
                    fail(f"{path}: status {status}")
                check_metrics(body) if path == "/metrics" else check_snapshot(body)
            except Exception as error:  # every kind of failure counts, and the run goes on
                with lock:
                    failures.append(f"{path}: {error!r}")
                continue
            with lock:
                answers[0] += 1

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return answers[0], failures


def main(binary, proc):
    processes = []
    with tempfile.TemporaryDirectory() as workdir:
        try:
            serve = subprocess.Popen(
                [binary, "serve", "--listen", "127.0.0.1:0", "--proc", proc, "--system-id", "lab"],
                stdout=subprocess.PIPE, text=True,
                # Freed memory goes back to the allocator at once under AddressSanitizer too.
                env=dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0"))
            processes.append(serve)
            if not select.select([serve.stdout], [], [], 30)[0]:
                fail("serve named no address within 30 s")
            line = serve.stdout.readline()
            port = int(line.rsplit(":", 1)[1].split("/", 1)[0])

            check_answers(port)
            check_prometheus(pathlib.Path(workdir), port, processes)

            _, failures = load(port, 1)  # warms up every worker thread
            before = rss_kib(serve.pid)
            answers, more_failures = load(port, LOAD_SECONDS)
            failures += more_failures
            after = rss_kib(serve.pid)
            print(f"load: {answers} answers from {CLIENTS} clients in {LOAD_SECONDS} s, "
                  f"{len(failures)} failures; RSS {before} KiB -> {after} KiB")
            if failures or answers == 0:
                fail(f"{len(failures)} failed answers, first: {failures[:3]}")
            if after > before + RSS_SLACK_KIB:
                fail(f"resident memory grew from {before} KiB to {after} KiB")

            serve.terminate()
            if serve.wait(timeout=10) != 0:
                fail(f"serve ended with status {serve.returncode} on SIGTERM")
        finally:
            for process in processes:
                if process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
    print("serve: all checks passed")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        main(sys.argv[1], sys.argv[2])
    except AssertionError as error:
        sys.exit(f"serve_test: {error}")
