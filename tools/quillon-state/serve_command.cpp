// quillon-state serve: this machine's state over HTTP, for Prometheus and for people.
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <pthread.h>
#include <sys/socket.h>

#include <httplib.h>

#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "host_probes.hpp"
#include "probe_options.hpp"
#include "stop_signals.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;

constexpr std::string_view kOpenMetricsType =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";
// A scrape is a bodiless GET: anything larger is not a scrape. Headers and the request line have
// their own bound (8 KiB each) in the HTTP library.
constexpr std::size_t kMaxPayload = 1024;
// A client that sends or takes nothing for this long loses its connection, so a slow or hostile
// client holds a worker for seconds, not forever.
constexpr time_t kTimeoutSeconds = 5;
constexpr std::size_t kMaxRequestsPerConnection = 100;

struct ServeOptions {
  ProbeOptions probe;
  std::string listen = "127.0.0.1:9464";
};

/// Where to listen: a host name or address (brackets of an IPv6 address removed) and a port.
struct Endpoint {
  std::string host;
  int port = 0;
};

/// The endpoint of "ADDRESS:PORT" ("[::1]:9464" for IPv6), or nothing. Port 0 picks a free port.
std::optional<Endpoint> parseEndpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string_view port = text.substr(colon + 1);
  Endpoint endpoint{std::string(host), 0};
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), endpoint.port);
  if (host.empty() || error != std::errc{} || end != port.data() + port.size() ||
      endpoint.port < 0 || endpoint.port > 65535) {
    return std::nullopt;
  }
  return endpoint;
}

int runServe(const ServeOptions& options) {
  const std::optional<Endpoint> endpoint = parseEndpoint(options.listen);
  if (!endpoint) {
    return usageError("--listen: expected ADDRESS:PORT such as 127.0.0.1:9464: " + options.listen);
  }
  std::optional<HostProbes> probes = makeProbes(options.probe);
  if (!probes) return kExitUsage;

  // Captures one at a time, so concurrent scrapes never interleave and each gets the next
  // barrier sequence.
  std::mutex capturing;
  std::uint64_t sequence = 0;
  const auto capture = [&] {
    const std::lock_guard lock(capturing);
    return probes->capture(options.probe.epoch, ++sequence);
  };

  httplib::Server server;
  // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second exporter bind the
  // same port and silently take half the scrapes.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(kMaxPayload)
      .set_read_timeout(kTimeoutSeconds)
      .set_write_timeout(kTimeoutSeconds)
      .set_keep_alive_timeout(kTimeoutSeconds)
      .set_keep_alive_max_count(kMaxRequestsPerConnection);
  server.Get("/metrics", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(qm::toOpenMetrics(capture()), std::string(kOpenMetricsType));
  });
  server.Get("/snapshot", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(capture().toCanonicalJson(), "application/json");
  });
  // Decided before any body is read: another method on a served path is 405 whatever it sends.
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    const bool served = request.path == "/metrics" || request.path == "/snapshot";
    if (!served || request.method == "GET" || request.method == "HEAD") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    return httplib::Server::HandlerResponse::Handled;
  });

  // Blocked before the server starts its workers, which inherit the mask: only the stopper
  // thread ever takes SIGINT or SIGTERM.
  const StopSignals signals;
  const int port = endpoint->port == 0 ? server.bind_to_any_port(endpoint->host)
                   : server.bind_to_port(endpoint->host, endpoint->port) ? endpoint->port
                                                                         : -1;
  if (port < 0) {
    return usageError(options.listen + ": cannot listen: " + std::strerror(errno));
  }
  std::cout << "quillon-state: serving http://"
            << options.listen.substr(0, options.listen.rfind(':')) << ':' << port
            << "/metrics and /snapshot" << std::endl;
  std::atomic<bool> stopped = false;
  std::atomic<bool> finished = false;
  std::thread stopper([&] {
    signals.wait();
    stopped = true;
    // stop() does nothing to a server that has not started running yet, so a signal that comes
    // before then waits for it (or for its end) rather than being lost.
    while (!server.is_running() && !finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.stop();
  });
  const bool served = server.listen_after_bind();
  finished = true;
  // The server ended by itself: wake the stopper, whose pending signal dies with the thread.
  if (!stopped) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  if (!served && !stopped) return usageError(options.listen + ": serving failed");
  return kExitSuccess;
}

}  // namespace

void addServeCommand(CLI::App& app, int& status) {
  CLI::App* command = app.add_subcommand(
      "serve",
      "Serves this machine's state over HTTP: GET /metrics captures it and answers its OpenMetrics "
      "text, GET /snapshot its runtime-state document.");
  command->footer(
      "Each request captures anew, with the next barrier sequence; captures never overlap. Any\n"
      "other path is 404, another method on these paths 405. SIGINT or SIGTERM stops the server\n"
      "with status 0; a usage error or an address it cannot listen on gives status 2. The first\n"
      "line on standard output names the address served (useful with port 0, a free port).\n\n"
      "Example:\n  quillon-state serve --listen 127.0.0.1:9464\n"
      "  curl -s http://127.0.0.1:9464/metrics\n");
  auto options = std::make_shared<ServeOptions>();
  command->add_option("--listen", options->listen, "ADDRESS:PORT to listen on")
      ->capture_default_str();
  addProbeOptions(*command, options->probe);
  command->callback([options, &status] { status = runServe(*options); });
}

}  // namespace Quillon::Tools::State
