"""quillon-state gather, case by case: against a part server whose first path segment picks how it
answers (well, in each HTTP framing, or misbehaving), against serve over TLS with basic
authentication, and with arguments it (or serve --part) refuses. Complete documents are checked
against the schema."""
import contextlib
import json
import pathlib
import socket
import sys
import tempfile
import threading
import time
import urllib.parse

from cases import OBSERVATION, E, run

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "http" / "tests"))
from harness import make_pki, serve, web_config  # noqa: E402

FIXTURES = pathlib.Path(__file__).resolve().parent
SCHEMA = FIXTURES.parents[2] / "schema" / "runtime-state-1.schema.json"
VALID = [sys.executable, "-c", "import json, sys, jsonschema\n"
         "jsonschema.Draft202012Validator(json.load(open(sys.argv[1]))).validate(json.load(sys.stdin))",
         str(SCHEMA)]


def document(target, host):
    """The document of part `host` at the barrier the query of `target` names."""
    asked = dict(urllib.parse.parse_qsl(target.split("?", 1)[1]))
    epoch, sequence = int(asked.get("epoch", 1)), int(asked["barrier_sequence"])
    observation = dict(json.loads(OBSERVATION), epoch=epoch, system_id="lab",
                       entity={"id": host, "kind": "host", "parent": "lab"})
    return json.dumps({"barrier_sequence": sequence, "captured_at_ns": 5, "deadline_ns": 9,
                       "epoch": epoch, "logical_time": int(asked.get("logical_time", 0)),
                       "schema": "velmor-runtime-state/1", "status": "complete",
                       "system_id": "lab", "subjects": [
                           {"diagnostic": "", "id": f"host:lab/{host}", "observation": observation,
                            "status": "captured"}]}).encode()


def sized(head, body):
    return head + b"Content-Length: %d\r\n\r\n" % len(body) + body


def chunks(body):
    return b"".join(b"%x;x=1\r\n%s\r\n" % (len(body[at:at + 99]), body[at:at + 99])
                    for at in range(0, len(body), 99)) + b"0\r\nX-Trailer: 1\r\n\r\n"


OK = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
ANSWERS = {  # (connection, target) -> None
    "ok": lambda c, t: c.sendall(sized(OK, document(t, "ok"))),
    "chunked": lambda c, t: c.sendall(OK + b"Transfer-Encoding:chunked\r\n\r\n" +
                                      chunks(document(t, "chunked"))),
    "close": lambda c, t: c.sendall(b"HTTP/1.0 200 OK\n\n" + document(t, "close") + b"\n\r\n"),
    "echo": lambda c, t: c.sendall(sized(b"HTTP/1.1 500 Internal Server Error\r\n"
                                         b"Content-Type: text/plain\r\n", t.encode())),
    "moved": lambda c, t: c.sendall(b"HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n"),
    "html": lambda c, t: c.sendall(sized(b"HTTP/1.1 503 Busy\r\nContent-Type: text/html\r\n",
                                         b"<p>busy</p>")),
    "garbage": lambda c, t: c.sendall(sized(OK, b"hello")),
    "ssh": lambda c, t: c.sendall(b"SSH-2.0-OpenSSH_9.2\x01\r\n\r\n"),
    "gzip": lambda c, t: c.sendall(sized(OK + b"Content-Encoding: gzip\r\n", b"\x1f\x8b")),
    "huge": lambda c, t: c.sendall(OK + b"Content-Length: 99999999999\r\n\r\n{"),
    "badchunk": lambda c, t: c.sendall(OK + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n"),
    "endless": lambda c, t: [c.sendall(OK + b"\r\n")] + [c.sendall(b" " * 65536)
                                                         for _ in range(2000)],
    "trickle": lambda c, t: [c.sendall(OK + b"Content-Length: 900\r\n\r\n")] + [
        c.sendall(b" ") or time.sleep(0.05) for _ in range(900)],
    "mute": lambda c, t: time.sleep(60),
}


def part_server():
    """Serves ANSWERS on a free port, a thread per connection; returns its URL."""
    listener = socket.create_server(("127.0.0.1", 0))

    def handle(connection):
        with connection, contextlib.suppress(OSError):
            request = b""
            while b"\r\n\r\n" not in request:
                request += connection.recv(4096) or b"\r\n\r\n"
            target = request.split(b" ")[1].decode()
            ANSWERS[target.split("/")[1]](connection, target)

    def accept():
        while True:
            threading.Thread(target=handle, args=(listener.accept()[0],), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return f"http://127.0.0.1:{listener.getsockname()[1]}"


def composed(status, *subjects, sequence="9"):
    """The pattern of the composed line: the barrier asked for and `subjects` in order."""
    return (E('{"barrier_sequence":') + sequence + r',"captured_at_ns":\d+,"deadline_ns":\d+,' +
            E(f'"epoch":4,"logical_time":-3,"schema":"velmor-runtime-state/1","status":"{status}",'
              '"subjects":[') + ".*" + ".*".join(subjects) + ".*" + E('],"system_id":"lab"}\n'))


def gave(id, status, diagnostic):
    """The pattern of a subject: captured, or standing for part `id` with `diagnostic`."""
    if status == "captured":
        return E(f'"id":"host:lab/{id}","observation":{{')
    return f'"diagnostic":"{diagnostic}' + E(f'","id":"{id}","observation":null,"status":"{status}"}}')


def main():
    parts = part_server()
    gather = ["gather", "--system-id", "lab", "--epoch", "4", "--barrier-sequence", "9",
              "--logical-time=-3"]

    def row(what, names, status, *subjects, budget="300ms", **more):
        """A gather of the parts `names` of the part server."""
        return dict({"what": what, "status": status, "err": "",
                     "args": gather + ["--budget", budget] + [
                         f"--part={name}={parts}/{name}" for name in names],
                     "out": composed("complete" if status == 0 else "partial", *subjects)}, **more)

    def url(name):
        return E(f"{parts}/{name}/snapshot: ")

    with tempfile.TemporaryDirectory() as workdir:
        folder = pathlib.Path(workdir)
        users = make_pki(folder)
        ca = f"tls_config: {{ca_file: {folder / 'ca.crt'}}}\n"
        alice = "basic_auth: {username: alice, password: secret}\n"
        mutual = web_config(folder, "mutual.yml", users, "RequireAndVerifyClientCert",
                            "  client_ca_file: ca.crt\n")
        probes = ["--proc", FIXTURES / "proc", "--sys", FIXTURES / "sys", "--system-id", "lab",
                  "--host-id", "node"]
        with serve(sys.argv[1], *probes, "--web-config", web_config(folder, "web.yml", users)
                   ) as (_, https), serve(sys.argv[1], *probes, "--web-config", mutual) as (_, two):
            def tls(what, config, status, diagnostic="", server=https):
                """A gather of serve over TLS with `config` as its client config."""
                return {"what": what, "args": gather + ["--part", f"node={server}"] + (
                            ["--web-config", "{config}"] if config else []),
                        "files": {"config": config}, "suffix": ".yml", "status": status,
                        "err": "", "out": E('{"barrier_sequence":9,') + ".*" + (
                            E('"status":"complete","subjects":[') if status == 0 else
                            gave("node", "missing", E(f"{server}/snapshot: ") + diagnostic)) + ".*"}

            def refused(what, args, err, files=None, command="gather"):
                return {"what": what, "args": [command] + args, "files": files or {},
                        "suffix": ".yml", "status": 2, "out": "", "err": f"quillon-state: {err}\n"}

            run([
                row("every framing: Content-Length, chunked, until the connection closes; a "
                    "budget of centuries is no deadline in the past",
                    ["ok", "chunked", "close"], 0, gave("chunked", "captured", ""),
                    gave("close", "captured", ""), gave("ok", "captured", ""), consumer=VALID,
                    budget="153722867m"),
                row("the barrier goes down whole, the budget in milliseconds", ["echo"], 1,
                    gave("echo", "missing", url("echo") + E(
                        "HTTP 500 Internal Server Error: /echo/snapshot?epoch=4&barrier_sequence=9"
                        "&logical_time=-3&budget=250ms")), budget="250ms"),
                row("an HTTP status other than 200 is missing, nothing followed", ["moved", "html"],
                    1, gave("html", "missing", url("html") + "HTTP 503 Busy"),
                    gave("moved", "missing", url("moved") + "HTTP 301 Moved Permanently")),
                {"what": "a refused connection is missing", "status": 1,
                 "args": gather + ["--part", "gone=http://127.0.0.1:1", "--part", "v6=http://[::1]"],
                 "out": composed("partial", gave("gone", "missing", E(
                     "http://127.0.0.1:1/snapshot: cannot connect: Connection refused")),
                     gave("v6", "missing", E("http://[::1]/snapshot: cannot connect: ") + '[^"]+'))},
                row("answers that are no document or no HTTP, too large or encoded are invalid",
                    ["garbage", "ssh", "gzip", "huge", "badchunk"], 1,
                    gave("badchunk", "invalid", url("badchunk") + "malformed chunked body"),
                    gave("garbage", "invalid", url("garbage") + "byte 0: [^\"]+"),
                    gave("gzip", "invalid", url("gzip") + "answer in content encoding gzip, "
                         "which was not asked for"),
                    gave("huge", "invalid", url("huge") + "answer larger than 67108864 bytes"),
                    gave("ssh", "invalid", url("ssh") + "not an HTTP answer: SSH-2.0-OpenSSH_9.2%01")),
                row("an endless body is cut off at the bound", ["endless"], 1, gave(
                    "endless", "invalid", url("endless") + "answer larger than 67108864 bytes"),
                    budget="20s"),
                row("silent and trickling parts are asked at once and left at the budget",
                    ["mute", "trickle", "ok"], 1, gave("ok", "captured", ""),
                    gave("mute", "deadline_exceeded", url("mute") + E(
                        "no whole answer within the budget (0 bytes received)")),
                    gave("trickle", "deadline_exceeded", url(
                        "trickle") + r"no whole answer within the budget \(\d+ bytes received\)"),
                    seconds=0.8),
                {"what": "without a sequence or system id: milliseconds since 1970, the first "
                         "part's system", "args": ["gather", f"--part=a={parts}/ok/"], "status": 0,
                 "out": r'\{"barrier_sequence":1\d{12},.*"system_id":"lab"\}\n'},
                tls("TLS with the CA and basic authentication", ca + alice, 0),
                tls("the system's CAs do not know the test CA", "", 1,
                    "TLS handshake failed: unable to get local issuer certificate"),
                tls("a wrong password", ca + alice.replace("secret", "wrong"), 1,
                    E("HTTP 401 Unauthorized: unauthorized")),
                tls("server_name is the name checked", ca.replace("}", ", server_name: x.test}") +
                    alice, 1, "TLS handshake failed: [^\"]+"),
                tls("insecure_skip_verify", "tls_config: {insecure_skip_verify: true}\n" + alice, 0),
                tls("a client certificate", ca.replace("}", f", cert_file: {folder}/client.crt, "
                                                            f"key_file: {folder}/client.key}}") +
                    alice, 0, server=two),
                tls("no client certificate where one is required", ca + alice, 1, "[^\"]+",
                    server=two),
                refused("a URL that is not one", ["--part", "a=ftp://x"],
                        E("part a: expected http://HOST[:PORT][/PREFIX] or https://...: ftp://x")),
                refused("port 0", ["--part", "a=http://x:0/"], ".*: http://x:0/"),
                refused("an id twice", ["--part", "a=http://x", "--part", "a=http://y"],
                        "--part: part a given twice"),
                refused("credentials over plain HTTP", ["--part", "a=http://x", "--web-config",
                                                        "{config}"],
                        E("part a: basic_auth is sent over https:// only: http://x"),
                        {"config": alice}),
                refused("an unknown key", ["--part", "a=https://x", "--web-config", "{config}"],
                        r"[^\n]*/config\.yml:2: client config: unknown key \"tls\" " +
                        E("(expected tls_config or basic_auth)"), {"config": alice + "tls: {}\n"}),
                refused("password and password_file", ["--part", "a=https://x", "--web-config",
                                                       "{config}"],
                        r"[^\n]*/config\.yml:3: basic_auth: password and password_file exclude "
                        "each other", {"config": "basic_auth:\n  password: x\n  password_file: y\n"}),
                refused("a budget that is no duration", ["--part", "a=http://x", "--budget", "1h"],
                        "--budget: expected a positive duration such as 250ms, 2s or 1m: 1h"),
                refused("epoch 0", ["--part", "a=http://127.0.0.1:1", "--epoch", "0"],
                        "--epoch: must be at least 1"),
                refused("no part answers and no --system-id", ["--part", "a=http://127.0.0.1:1"],
                        E("no part gave a snapshot to take the system id from (a: http://127.0.0.1"
                          ":1/snapshot: cannot connect: Connection refused); --system-id names the "
                          "system")),
            ] + [refused(f"serve {' '.join(args)}", args, E(err), command="serve")
                 for args, err in (
                (["--no-host"], "--no-host: needs --part"),
                (["--part=a=http://x", "--system-id=lab", "--host-id=lab"], "--host-id: with --part "
                 "this host is one part of system lab and needs a host id of its own (or --no-host)"),
                (["--part=n=http://x", "--system-id=lab", "--host-id=n"],
                 "--part: part n has the id of this host's own part (--host-id, or --no-host)"))])


if __name__ == "__main__":
    main()
