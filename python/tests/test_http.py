"""HttpExporter from Python, scraped with urllib: basic authentication, the capture's request and
answer (read by prometheus_client and read_runtime_state), failures as 500, and closing while a
scrape is in flight: by close(), by the last reference going inside the capture, at exit."""
import base64
import json
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest
import quillon_monitoring as qm
from fixtures import ROOT, complete_scenario
from prometheus_client.openmetrics.parser import text_string_to_metric_families

if not hasattr(qm, "HttpExporter"):
    pytest.skip("built without the HTTP exporter", allow_module_level=True)
sys.path.insert(0, str(ROOT / "monitoring" / "tests"))
from check_expositions import expected_samples  # noqa: E402


def get(port, target, **headers):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{target}", headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def test_a_scrape_with_credentials_answers_the_capture_of_the_requests_barrier(tmp_path):
    hashed = subprocess.run(["htpasswd", "-nbBC", "10", "prometheus", "the password"], check=True,
                            capture_output=True, text=True).stdout.strip().split(":", 1)[1]
    (tmp_path / "web.yml").write_text(f"basic_auth_users:\n  prometheus: {hashed}\n")
    asked = []
    key = {"Authorization": "Basic " + base64.b64encode(b"prometheus:the password").decode()}
    with qm.HttpExporter(lambda request: asked.append(request) or complete_scenario(),
                         listen="127.0.0.1:0", web_config_file=tmp_path / "web.yml") as exporter:
        wrong = {"Authorization": "Basic " + base64.b64encode(b"prometheus:guess").decode()}
        assert [get(exporter.port, "/snapshot", **h)[0] for h in ({}, wrong)] == [401, 401]
        status, document = get(exporter.port, "/snapshot?epoch=4&barrier_sequence=9&budget=2s", **key)
        assert status == 200 and qm.read_runtime_state(document) == complete_scenario()
        status, text = get(exporter.port, "/metrics", Accept="application/openmetrics-text", **key)
    assert asked == [qm.BarrierRequest(epoch=4, barrier_sequence=9, budget_ns=2_000_000_000),
                     qm.BarrierRequest()]
    found = [(s.name, tuple(sorted(s.labels.items())), s.value)
             for family in text_string_to_metric_families(text) for s in family.samples]
    assert found == expected_samples(json.loads(complete_scenario().to_canonical_json()))


def raising(error):
    def capture(request, exporter):
        raise error
    return capture


@pytest.mark.parametrize("capture, reason", [
    (raising(RuntimeError("sensor offline")), "sensor offline"),
    (raising(KeyboardInterrupt()), "KeyboardInterrupt"),
    (lambda request, exporter: 42, "capture returned int, not a RuntimeStateSnapshot"),
    (lambda request, exporter: exporter.close(),
     "an http exporter cannot be closed from its own capture"),
])
def test_a_capture_that_fails_answers_500_and_the_exporter_serves_on(capture, reason):
    with qm.HttpExporter(lambda request: capture(request, exporter), listen="127.0.0.1:0") as exporter:
        for _ in range(2):
            assert get(exporter.port, "/snapshot") == (500, f"capture failed: {reason}\n")
    exporter.close()
    with pytest.raises(ValueError, match="^http exporter is closed$"):
        exporter.port


@pytest.mark.parametrize("arguments, error, message", [
    ({"web_config_file": ""}, ValueError, "web_config_file is empty; None serves"),
    ({"web_config_file": b"web.yml\0.bak"}, ValueError, "web_config_file holds a NUL byte"),
    ({"web_config_file": b"/nonexistent/\xff.yml"}, RuntimeError,  # a message quoting bytes
     "cannot read web config /nonexistent/\udcff.yml: "),
    ({"capture": None}, TypeError, "capture must be callable, not NoneType"),
])
def test_an_exporter_refuses_what_the_core_refuses(arguments, error, message):
    with pytest.raises(error, match=f"^{message}"):
        qm.HttpExporter(**{"capture": complete_scenario, "listen": "127.0.0.1:0", **arguments})


@pytest.mark.parametrize("close", [lambda held: held[0].close(), list.clear])
def test_closing_waits_for_the_scrape_in_flight(close):
    entered, release, scraped = threading.Event(), threading.Event(), []
    held = [qm.HttpExporter(lambda request: entered.set() or release.wait() and complete_scenario(),
                            listen="127.0.0.1:0")]
    port = held[0].port
    scrape = threading.Thread(target=lambda: scraped.append(get(port, "/snapshot")[0]))
    scrape.start()
    entered.wait()
    closer = threading.Thread(target=close, args=(held,))
    closer.start()
    closer.join(0.2)
    assert closer.is_alive() and scraped == []
    release.set()
    closer.join()
    scrape.join()
    assert scraped == [200]
    with pytest.raises(OSError):
        get(port, "/snapshot")


def test_the_last_reference_may_go_inside_the_capture():
    held = {}
    held["exporter"] = qm.HttpExporter(lambda request: held.clear() or complete_scenario(),
                                       listen="127.0.0.1:0")
    port = held["exporter"].port
    assert get(port, "/snapshot")[0] == 200
    with pytest.raises(OSError):  # closed once the capture has returned
        for _ in range(100):
            get(port, "/snapshot")


EXITING = """
import threading, time, quillon_monitoring as qm
from fixtures import complete_scenario
started = threading.Event()
def capture(request):
    started.set()
    end = time.monotonic() + 0.5
    while time.monotonic() < end: pass  # holding the GIL, as a busy capture does
    return complete_scenario()
exporter = qm.HttpExporter(capture, listen="127.0.0.1:0")
print(exporter.port, flush=True)
started.wait()
"""


def test_the_interpreter_exits_cleanly_with_an_open_exporter_and_a_scrape_in_flight():
    with subprocess.Popen([sys.executable, "-c", EXITING], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, cwd=ROOT / "python" / "tests") as child:
        port = int(child.stdout.readline())
        assert get(port, "/snapshot")[0] == 200
        assert (child.wait(30), child.stderr.read()) == (0, "")
