"""usage: deployment_test.py QUILLON_STATE FIXTURES

A system of three hosts on loopback: three quillon-state serve parts (system lab, hosts node-1 to
node-3, the fixture node's proc and sys trees) over TLS with basic authentication, one aggregator
serve --part --no-host over them, scraped by a real Prometheus. The aggregator's snapshot is the
three hosts' subjects at the barrier it was asked for; with node-2 stopped it is partial, node-2
missing, and Prometheus sees quillon_snapshot_complete 0. A part that accepts and never answers
is deadline_exceeded within the budget."""

import json
import pathlib
import socket
import sys
import tempfile
import threading
import time
import urllib.request

from harness import make_pki, prometheus, query, serve, wait_for, web_config

DEVICES = ("card0", "card1", "cpu0", "cpu1", "dm-0", "nvme0n1", "sda", "sdb")


def subjects(*hosts):
    return {f"host:lab/{host}" for host in hosts} | {
        f"{kind}:{host}/{name}" for host in hosts for kind, names in
        (("device", DEVICES), ("network", ("eth0", "lo"))) for name in names}


def snapshot(url, query_string=""):
    with urllib.request.urlopen(f"{url}/snapshot{query_string}", timeout=20) as answer:
        return json.loads(answer.read(), parse_constant=lambda name: 1 / 0)


def silent_part():
    """A part that accepts connections and never says a word; returns its https:// URL."""
    listener = socket.create_server(("127.0.0.1", 0))
    held = []

    def hold():
        while True:
            held.append(listener.accept()[0])

    threading.Thread(target=hold, daemon=True).start()
    return f"https://127.0.0.1:{listener.getsockname()[1]}"


def main(binary, fixtures):
    with tempfile.TemporaryDirectory() as workdir:
        folder = pathlib.Path(workdir)
        config = web_config(folder, "web.yml", make_pki(folder))
        (folder / "password").write_text("secret\n")
        (folder / "client.yml").write_text(
            "tls_config: {ca_file: ca.crt}\n"
            "basic_auth: {username: alice, password_file: password}\n")
        probes = ["--proc", f"{fixtures}/proc", "--sys", f"{fixtures}/sys", "--system-id", "lab",
                  "--web-config", config]
        with serve(binary, *probes, "--host-id", "node-1") as (_, node1), \
                serve(binary, *probes, "--host-id", "node-2") as (node2, url2), \
                serve(binary, *probes, "--host-id", "node-3") as (_, node3):
            urls = {"node-1": node1, "node-2": url2, "node-3": node3}
            parts = [f"--part={id}={url.replace('127.0.0.1', 'localhost')}"
                     for id, url in urls.items()]
            aggregate = ["--system-id", "lab", "--no-host", "--part-web-config",
                         folder / "client.yml", *parts]
            with serve(binary, *aggregate) as (_, aggregator):
                # The barrier travels down: every observation is of epoch 4, sequence 9.
                system = snapshot(aggregator, "?epoch=4&barrier_sequence=9&logical_time=7")
                assert system["status"] == "complete", system
                assert {s["id"] for s in system["subjects"]} == subjects(
                    "node-1", "node-2", "node-3"), [s["id"] for s in system["subjects"]]
                assert {(s["observation"]["epoch"], s["observation"]["sequence"])
                        for s in system["subjects"]} == {(4, 9)}
                assert (system["epoch"], system["barrier_sequence"],
                        system["logical_time"]) == (4, 9, 7)

                job = (f"  - job_name: system\n    static_configs: "
                       f"[{{targets: ['{aggregator.split('//')[1]}']}}]\n")
                with prometheus(folder, job) as port:
                    complete = 'quillon_snapshot_complete{job="system",system_id="lab"}'
                    assert wait_for(lambda: query(port, f"{complete} == 1")), "never complete"
                    node2.terminate()
                    node2.wait(timeout=10)
                    partial = snapshot(aggregator)
                    missing = [s for s in partial["subjects"] if s["status"] != "captured"]
                    assert partial["status"] == "partial" and [
                        (s["id"], s["status"]) for s in missing] == [("node-2", "missing")], missing
                    assert missing[0]["diagnostic"].startswith(
                        url2.replace("127.0.0.1", "localhost") + "/snapshot: cannot connect: "), \
                        missing[0]
                    assert wait_for(lambda: query(port, f"{complete} == 0")), "never partial"

            # A part that takes the connection and never completes the TLS handshake holds up
            # neither the scrape nor the other part.
            with serve(binary, "--system-id", "lab", "--no-host", "--part-web-config",
                       folder / "client.yml", parts[0], f"--part=mute={silent_part()}"
                       ) as (_, aggregator):
                start = time.monotonic()
                system = snapshot(aggregator, "?budget=500ms")
                took = time.monotonic() - start
                statuses = {s["id"]: s["status"] for s in system["subjects"]}
                assert statuses.pop("mute") == "deadline_exceeded" and set(
                    statuses.values()) == {"captured"}, statuses
                assert 0.5 <= took < 1.0, f"a scrape with a budget of 500 ms took {took:.3f} s"
                print(f"a scrape beside a mute part, budget 500 ms: {took:.3f} s; "
                      + next(s["diagnostic"] for s in system["subjects"] if s["id"] == "mute"))
    print("deployment: all checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
