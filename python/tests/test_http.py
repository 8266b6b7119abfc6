"""HttpExporter from Python, scraped with urllib: what the capture receives and answers (read back
by prometheus_client and read_runtime_state), its failures as 500, basic authentication, and
closing while a scrape is in flight, by close() and at the interpreter's exit."""
import base64
import json
import pathlib
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
            return answer.status, answer.read().decode("utf-8", "surrogateescape")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def test_a_scrape_answers_the_capture_of_the_requests_barrier():
    asked = []

    def capture(request):
        asked.append(request)
        return complete_scenario()

    with qm.HttpExporter(capture, listen="127.0.0.1:0") as exporter:
        status, document = get(exporter.port, "/snapshot?epoch=4&barrier_sequence=9&budget=250ms")
        assert status == 200 and qm.read_runtime_state(document) == complete_scenario()
        status, text = get(exporter.port, "/metrics", Accept="application/openmetrics-text")
        assert status == 200 and not exporter.secure
    assert asked == [qm.BarrierRequest(epoch=4, barrier_sequence=9, budget_ns=250_000_000),
                     qm.BarrierRequest()]
    found = [(s.name, tuple(sorted(s.labels.items())), s.value)
             for family in text_string_to_metric_families(text) for s in family.samples]
    assert found == expected_samples(json.loads(complete_scenario().to_canonical_json()))


def raising(error):
    def capture(request):
        raise error
    return capture


@pytest.mark.parametrize("capture, reason", [
    (raising(RuntimeError("sensor offline")), "sensor offline"),
    (raising(KeyboardInterrupt()), "KeyboardInterrupt"),
    (lambda request: 42, "capture returned int, not a RuntimeStateSnapshot"),
    (lambda: complete_scenario(), "<lambda>() takes 0 positional arguments but 1 was given"),
])
def test_a_capture_that_fails_answers_500_and_the_exporter_serves_on(capture, reason):
    with qm.HttpExporter(capture, listen="127.0.0.1:0") as exporter:
        for _ in range(2):
            assert get(exporter.port, "/snapshot") == (500, f"capture failed: {reason}\n")


def test_basic_authentication_from_a_web_config(tmp_path):
    hashed = subprocess.run(["htpasswd", "-nbBC", "10", "prometheus", "the password"], check=True,
                            capture_output=True, text=True).stdout.strip().split(":", 1)[1]
    (tmp_path / "web.yml").write_text(f"basic_auth_users:\n  prometheus: {hashed}\n")
    with qm.HttpExporter(lambda request: complete_scenario(), listen="127.0.0.1:0",
                         web_config_file=tmp_path / "web.yml") as exporter:
        for password, status in [(None, 401), ("wrong", 401), ("the password", 200)]:
            headers = {} if password is None else {"Authorization": "Basic " + base64.b64encode(
                f"prometheus:{password}".encode()).decode()}
            assert get(exporter.port, "/snapshot", **headers)[0] == status


@pytest.mark.parametrize("arguments, error, message", [
    ({"listen": "localhost"}, ValueError, "listen: expected ADDRESS:PORT"),
    ({"web_config_file": ""}, ValueError, "web_config_file is empty; None serves"),
    ({"web_config_file": "/nonexistent/web.yml"}, RuntimeError, "cannot read web config"),
    ({"capture": None}, TypeError, "capture must be callable, not NoneType"),
])
def test_an_exporter_refuses_what_the_core_refuses(arguments, error, message):
    with pytest.raises(error, match=f"^{message}"):
        qm.HttpExporter(**{"capture": complete_scenario, "listen": "127.0.0.1:0", **arguments})


def test_close_waits_for_the_scrape_in_flight_and_refuses_inside_the_capture():
    entered, release, inside = threading.Event(), threading.Event(), []

    def capture(request):
        try:
            exporter.close()
        except RuntimeError as error:
            inside.append(str(error))
        entered.set()
        release.wait()
        return complete_scenario()

    exporter = qm.HttpExporter(capture, listen="127.0.0.1:0")
    scraped = []
    scrape = threading.Thread(target=lambda: scraped.append(get(exporter.port, "/snapshot")[0]))
    scrape.start()
    entered.wait()
    closer = threading.Thread(target=exporter.close)
    closer.start()
    closer.join(0.2)
    assert closer.is_alive() and scraped == []
    release.set()
    closer.join()
    scrape.join()
    assert scraped == [200] and exporter.closed
    assert inside == ["an http exporter cannot be closed from its own capture"]
    exporter.close()
    with pytest.raises(ValueError, match="^http exporter is closed$"):
        exporter.port


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
                          stderr=subprocess.PIPE, text=True,
                          cwd=pathlib.Path(__file__).parent) as child:
        port = int(child.stdout.readline())
        assert get(port, "/snapshot")[0] == 200
        assert (child.wait(30), child.stderr.read()) == (0, "")
