#include <quillon/monitoring/http_exporter.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <signal.h>

#include <quillon/monitoring/openmetrics.hpp>

#include "basic_auth.hpp"
#include "connection_server.hpp"
#include "gzip.hpp"
#include "request_parsing.hpp"
#include "tls_context.hpp"
#include "web_config.hpp"

namespace Quillon::Core::Monitoring {

namespace {

using Handled = httplib::Server::HandlerResponse;

constexpr std::string_view kOpenMetricsType =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";
constexpr std::string_view kPrometheusTextType = "text/plain; version=0.0.4; charset=utf-8";
constexpr std::string_view kReasonType = "text/plain; charset=utf-8";
constexpr std::string_view kPage =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\">\n"
    "<head><meta charset=\"utf-8\"><title>Quillon Monitoring exporter</title></head>\n"
    "<body>\n"
    "<h1>Quillon Monitoring exporter</h1>\n"
    "<ul>\n"
    "<li><a href=\"metrics\">metrics</a>: the state as OpenMetrics text, for Prometheus</li>\n"
    "<li><a href=\"snapshot\">snapshot</a>: the runtime-state document (JSON)</li>\n"
    "</ul>\n"
    "</body>\n"
    "</html>\n";

/// Sets the answer to `body` as `type`. The body is handed over through a content provider, which
/// cpp-httplib sends as it is: it compresses only bodies set directly, and would compress ours
/// again (or pick brotli) by rules of its own. The provider never reads beyond the body, whatever
/// it is asked for.
void answer(httplib::Response& response, int status, std::string_view type, std::string body) {
  response.status = status;
  // Every answer is whole (the connections drop a request's ranges), as HEAD is told.
  response.set_header("Accept-Ranges", "none");
  const auto shared = std::make_shared<const std::string>(std::move(body));
  response.set_content_provider(
      shared->size(), std::string(type),
      [shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset > shared->size() || length > shared->size() - offset) return false;
        return sink.write(shared->data() + offset, length);
      });
}

/// Answers `status` with `reason` as one line of text, each control character a space.
void refuse(httplib::Response& response, int status, std::string reason) {
  for (char& byte : reason) {
    if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) byte = ' ';
  }
  answer(response, status, kReasonType, std::move(reason) + '\n');
}

/// Restores the action of a signal, as it was when made, when it goes out of scope.
class KeptSignalAction {
 public:
  explicit KeptSignalAction(int signal) : signal_(signal) { ::sigaction(signal_, nullptr, &kept_); }
  ~KeptSignalAction() { ::sigaction(signal_, &kept_, nullptr); }
  KeptSignalAction(const KeptSignalAction&) = delete;
  KeptSignalAction& operator=(const KeptSignalAction&) = delete;

 private:
  int signal_;
  struct sigaction kept_ {};
};

}  // namespace

struct HttpExporter::Serving {
  CaptureFunction capture;
  std::mutex capturing;
  std::optional<Http::BasicAuth> auth;
  Http::TlsContext tls;
  std::unique_ptr<Http::ConnectionServer> server;
  std::uint16_t port = 0;
  std::thread listener;

  Handled route(const httplib::Request& request, httplib::Response& response);
  void serveCapture(const httplib::Request& request, httplib::Response& response, bool metrics);
};

HttpExporter::HttpExporter(HttpExporterOptions options, CaptureFunction capture)
    : serving_(std::make_unique<Serving>()) {
  if (!capture) throw std::invalid_argument("http exporter requires a capture function");
  const std::optional<Http::Endpoint> endpoint = Http::parseEndpoint(options.listen);
  if (!endpoint) {
    throw std::invalid_argument("listen: expected ADDRESS:PORT such as 127.0.0.1:9464: " +
                                options.listen);
  }
  Http::WebConfig config;
  if (!options.web_config_file.empty()) config = Http::readWebConfig(options.web_config_file);
  if (config.tls_server_config) serving_->tls = Http::makeTlsContext(*config.tls_server_config);
  if (!config.basic_auth_users.empty()) serving_->auth.emplace(std::move(config.basic_auth_users));
  serving_->capture = std::move(capture);

  const int listening = Http::listenOn(*endpoint, options.listen);
  serving_->port = Http::boundPort(listening);
  {
    // cpp-httplib ignores SIGPIPE for the whole process when a server is made; the process keeps
    // its own choice, and connection threads block the signal for themselves instead.
    const KeptSignalAction kept(SIGPIPE);
    serving_->server = std::make_unique<Http::ConnectionServer>(listening, serving_->tls.get(),
                                                                Http::ConnectionLimits{});
  }
  serving_->server->set_pre_routing_handler(
      [serving = serving_.get()](const httplib::Request& request, httplib::Response& response) {
        return serving->route(request, response);
      });
  serving_->listener = std::thread([server = serving_->server.get()] { server->serve(); });
}

HttpExporter::~HttpExporter() {
  serving_->server->stopServing();
  serving_->listener.join();
}

std::uint16_t HttpExporter::port() const noexcept {
  return serving_->port;
}

bool HttpExporter::secure() const noexcept {
  return serving_->tls != nullptr;
}

Handled HttpExporter::Serving::route(const httplib::Request& request, httplib::Response& response) {
  // Every path, known or not, is behind the credentials.
  if (auth && (request.get_header_value_count("Authorization") != 1 ||
               !auth->allows(request.get_header_value("Authorization")))) {
    response.set_header("WWW-Authenticate", "Basic");
    refuse(response, 401, "unauthorized");
    return Handled::Handled;
  }
  const bool page = request.path == "/";
  const bool metrics = request.path == "/metrics";
  if (!page && !metrics && request.path != "/snapshot") {
    refuse(response, 404, "not found");
  } else if (request.method != "GET" && request.method != "HEAD") {
    response.set_header("Allow", "GET, HEAD");
    refuse(response, 405, "method not allowed");
  } else if (page) {
    answer(response, 200, "text/html; charset=utf-8", std::string(kPage));
  } else {
    serveCapture(request, response, metrics);
  }
  return Handled::Handled;
}

void HttpExporter::Serving::serveCapture(const httplib::Request& request,
                                         httplib::Response& response, bool metrics) {
  const std::size_t mark = request.target.find('?');
  const Http::ParsedQuery query = Http::parseQuery(
      mark == std::string::npos ? std::string_view()
                                : std::string_view(request.target).substr(mark + 1));
  if (!query.error.empty()) return refuse(response, 400, query.error);
  std::string body;
  std::optional<std::string> failure;
  try {
    std::optional<RuntimeStateSnapshot> snapshot;
    {
      const std::lock_guard lock(capturing);
      snapshot = capture(query.request);
    }
    body = metrics ? toOpenMetrics(*snapshot) : snapshot->toCanonicalJson();
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown exception";
  }
  if (failure) return refuse(response, 500, "capture failed: " + *failure);
  const bool openmetrics = metrics && Http::prefersOpenMetrics(request.get_header_value("Accept"));
  response.set_header("Vary", metrics ? "Accept, Accept-Encoding" : "Accept-Encoding");
  if (Http::acceptsGzip(request.get_header_value("Accept-Encoding"))) {
    body = Http::gzipped(body);
    response.set_header("Content-Encoding", "gzip");
  }
  answer(response, 200,
         !metrics      ? "application/json"
         : openmetrics ? kOpenMetricsType
                       : kPrometheusTextType,
         std::move(body));
}

}  // namespace Quillon::Core::Monitoring
