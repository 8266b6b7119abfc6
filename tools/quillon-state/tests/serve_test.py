"""usage: serve_test.py QUILLON_STATE PROC RSS_SLACK_KIB: quillon-state serve as a real Prometheus
meets it. RSS_SLACK_KIB is the allocator noise the load check allows (a leak of 1 KiB per answer
outgrows 1024 in the run). Every process started is stopped, also on failure."""

import concurrent.futures
import contextlib
import http.client
import json
import os
import pathlib
import select
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

from prometheus_client.openmetrics.parser import text_string_to_metric_families

OPENMETRICS = "application/openmetrics-text; version=1.0.0; charset=utf-8"
SUBJECTS = {"system:lab", "host:lab/lab", "device:lab/cpu0", "device:lab/cpu1",
            "network:lab/eth0", "network:lab/lo"}


def request(port, method, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    with contextlib.closing(connection):
        connection.request(method, path)
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


def check_answers(port):
    for method, path, status, content_type in [
            ("GET", "/metrics", 200, OPENMETRICS), ("HEAD", "/metrics", 200, OPENMETRICS),
            ("GET", "/snapshot", 200, "application/json"), ("POST", "/metrics", 405, None),
            ("DELETE", "/snapshot", 405, None), ("GET", "/", 404, None),
            ("GET", "/metrics/x", 404, None)]:
        got = request(port, method, path)[:2]
        assert got[0] == status and got[1] == (content_type or got[1]), (method, path, got)
    sequences = [check_snapshot(request(port, "GET", "/snapshot")[2]) for _ in range(3)]
    assert sequences == sorted(set(sequences)), f"barrier sequences {sequences}"
    body = request(port, "GET", "/metrics")[2]
    check_metrics(body)
    promtool = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
    assert promtool.returncode == 0, f"promtool: {promtool.stdout} {promtool.stderr}"


def query(port, promql):
    body = request(port, "GET", "/api/v1/query?" + urllib.parse.urlencode({"query": promql}))[2]
    return json.loads(body)["data"]["result"]


def check_prometheus(workdir, serve_port, processes):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    (workdir / "prometheus.yml").write_text(
        "global: {scrape_interval: 1s}\nscrape_configs:\n  - {job_name: quillon, "
        f"static_configs: [{{targets: ['127.0.0.1:{serve_port}']}}]}}\n")
    log = workdir / "prometheus.log"
    processes.append(subprocess.Popen(
        ["prometheus", f"--config.file={workdir / 'prometheus.yml'}",
         f"--storage.tsdb.path={workdir / 'data'}", f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=log.open("w")))
    complete = []
    for _ in range(60):
        time.sleep(1)
        with contextlib.suppress(OSError, http.client.HTTPException):  # not listening yet
            complete = query(port, 'quillon_snapshot_complete{system_id="lab"}')
        if complete:
            break
    assert [c["value"][1] for c in complete] == ["1"], f"{complete}\n{log.read_text()[-2000:]}"
    captured = query(port, 'quillon_subject_status{status="captured"} == 1')
    assert {c["metric"]["subject"] for c in captured} == SUBJECTS, captured


def load(port, seconds, clients=8):
    """Scrapes /metrics and /snapshot in turn from each client; returns answers and failures."""
    answers, failures, until = [], [], time.monotonic() + seconds

    def client():
        while time.monotonic() < until:
            path = ("/metrics", "/snapshot")[len(answers) % 2]
            try:
                status, _, body = request(port, "GET", path)
                assert status == 200, status
                (check_metrics if path == "/metrics" else check_snapshot)(body)
                answers.append(path)
            except Exception as error:  # every failure counts, and the run goes on
                failures.append(f"{path}: {error!r}")

    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        for _ in range(clients):
            pool.submit(client)
    return len(answers), failures


def rss_kib(pid):
    return int(pathlib.Path(f"/proc/{pid}/status").read_text().split("VmRSS:")[1].split()[0])


def main(binary, proc, slack_kib):
    processes = []
    with tempfile.TemporaryDirectory() as workdir:
        try:
            serve = subprocess.Popen(
                [binary, "serve", "--listen", "127.0.0.1:0", "--proc", proc, "--system-id", "lab",
                 "--host-id", "lab"],
                stdout=subprocess.PIPE, text=True,
                env=dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0"))  # freed is free
            processes.append(serve)
            assert select.select([serve.stdout], [], [], 30)[0], "serve named no address"
            port = int(serve.stdout.readline().rsplit(":", 1)[1].split("/")[0])
            check_answers(port)
            check_prometheus(pathlib.Path(workdir), port, processes)
            # Warm-up: every worker has served, and the allocator (AddressSanitizer's too) has
            # grown the caches it keeps.
            _, failures = load(port, 5)
            before = rss_kib(serve.pid)
            answers, more = load(port, 10)
            after = rss_kib(serve.pid)
            print(f"load: {answers} answers from 8 clients in 10 s, {len(failures + more)} "
                  f"failures; RSS {before} KiB -> {after} KiB")
            assert answers and not failures + more, (failures + more)[:3]
            assert after <= before + int(slack_kib), "resident memory grew"
            serve.terminate()
            assert serve.wait(timeout=10) == 0, f"status {serve.returncode} on SIGTERM"
        finally:
            for process in processes:
                process.kill()
                process.wait()
    print("serve: all checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:4])
