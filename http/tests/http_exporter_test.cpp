// The exporter over real HTTP on 127.0.0.1:0: every endpoint and query parameter as one table,
// the answers to failing captures, credentials, and the constructor's refusals.
#include <quillon/monitoring/http_exporter.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <quillon/monitoring/openmetrics.hpp>

namespace {

namespace qm = Quillon::Core::Monitoring;

constexpr const char* kOpenMetrics = "application/openmetrics-text; version=1.0.0; charset=utf-8";
constexpr const char* kPrometheusText = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kReason = "text/plain; charset=utf-8";
// htpasswd -nbBC 4 alice secret
constexpr const char* kSecretHash = "$2y$04$EqISk0aEWErq/iM9RjBfeeLVZHCxc1l5xZ2MYPayvuqQF7jcAgj8u";

/// The snapshot a request asks for, from one probe and a fixed clock: equal requests, equal bytes.
qm::RuntimeStateSnapshot snapshotFor(const qm::BarrierRequest& request) {
  qm::Observation system;
  system.system_id = "lab";
  system.epoch = request.epoch.value_or(1);
  system.entity.id = "lab";
  std::vector<qm::SnapshotProbe> probes;
  probes.push_back({"system:lab", true, [system] { return std::optional(system); }});
  const qm::SnapshotBarrier barrier(std::move(probes), [] { return std::uint64_t{7}; });
  return barrier.capture("lab", system.epoch, request.barrier_sequence.value_or(1),
                         request.logical_time.value_or(0), request.budget_ns.value_or(10));
}

/// An exporter on a free port whose capture records each request it is given.
struct Served {
  explicit Served(std::string web_config = "", qm::CaptureFunction capture = snapshotFor)
      : exporter({"127.0.0.1:0", std::move(web_config)},
                 [this, capture](const qm::BarrierRequest& request) {
                   const std::lock_guard lock(mutex);
                   seen.push_back(request);
                   return capture(request);
                 }),
        client("127.0.0.1", exporter.port()) {}

  std::mutex mutex;
  std::vector<qm::BarrierRequest> seen;
  qm::HttpExporter exporter;
  httplib::Client client;
};

/// Sends "METHOD TARGET" with `headers` ("Name: value" lines); asks for no compression unless
/// the headers choose one.
httplib::Result send(httplib::Client& client, std::string_view request,
                     std::string_view headers = "") {
  httplib::Request sent;
  sent.method = request.substr(0, request.find(' '));
  sent.path = request.substr(request.find(' ') + 1);
  while (!headers.empty()) {
    const std::string_view line = headers.substr(0, headers.find('\n'));
    sent.headers.emplace(line.substr(0, line.find(':')), line.substr(line.find(':') + 2));
    headers.remove_prefix(std::min(line.size() + 1, headers.size()));
  }
  if (!sent.has_header("Accept-Encoding")) sent.headers.emplace("Accept-Encoding", "identity");
  return client.send(sent);
}

enum class Body { metrics, snapshot, none, page, reason };

TEST(HttpExporter, AnswersEachEndpointAsDocumented) {
  struct Case {
    const char* request;
    const char* header;
    int status;
    const char* type;
    Body body;
  };
  const std::vector<Case> cases = {
      {"GET /metrics", "", 200, kPrometheusText, Body::metrics},
      {"GET /metrics",
       "Accept: application/openmetrics-text;version=1.0.0,application/"
       "openmetrics-text;version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;"
       "q=0.1",  // what Prometheus 2.42 sends
       200, kOpenMetrics, Body::metrics},
      {"GET /metrics", "Accept: application/openmetrics-text;q=0.5, text/plain;q=1", 200,
       kPrometheusText, Body::metrics},
      {"GET /metrics", "Accept: text/*;q=0.89, application/openmetrics-text;q=0.9", 200,
       kOpenMetrics, Body::metrics},
      {"GET /metrics", "Accept-Encoding: gzip", 200, kPrometheusText, Body::metrics},
      {"GET /metrics", "Accept-Encoding: br, GZIP;q=0.001", 200, kPrometheusText, Body::metrics},
      {"GET /metrics", "Range: bytes=0-9,-99", 200, kPrometheusText, Body::metrics},
      {"GET /snapshot", "Accept-Encoding: gzip;q=0, *", 200, "application/json", Body::snapshot},
      {"HEAD /metrics", "", 200, kPrometheusText, Body::none},
      {"GET /", "", 200, "text/html; charset=utf-8", Body::page},
      {"POST /metrics", "", 405, kReason, Body::reason},
      {"DELETE /", "", 405, kReason, Body::reason},
      {"GET /metrics/", "", 404, kReason, Body::reason},
      {"GET /metrics/", "Range: bytes=0-65535", 404, kReason, Body::reason},
  };
  Served served;
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.request) + " " + row.header);
    served.seen.clear();
    const httplib::Result result = send(served.client, row.request, row.header);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(row.status, result->status);
    EXPECT_EQ(row.type, result->get_header_value("Content-Type"));
    const bool gzip = std::string_view(row.header) == "Accept-Encoding: gzip" ||
                      std::string_view(row.header) == "Accept-Encoding: br, GZIP;q=0.001";
    EXPECT_EQ(gzip ? "gzip" : "", result->get_header_value("Content-Encoding"));
    EXPECT_EQ(row.status == 405 ? "GET, HEAD" : "", result->get_header_value("Allow"));
    const bool captures = row.body != Body::page && row.body != Body::reason;
    EXPECT_EQ(captures ? 1U : 0U, served.seen.size());
    const qm::RuntimeStateSnapshot expected = snapshotFor({});
    const std::string metrics = qm::toOpenMetrics(expected);
    switch (row.body) {
      case Body::metrics:
        EXPECT_EQ(metrics, result->body);
        break;
      case Body::snapshot:
        EXPECT_EQ(expected.toCanonicalJson(), result->body);
        break;
      case Body::none:
        EXPECT_EQ("", result->body);
        EXPECT_EQ(std::to_string(metrics.size()), result->get_header_value("Content-Length"));
        break;
      case Body::page:
        EXPECT_NE(std::string::npos, result->body.find("<a href=\"snapshot\">"));
        break;
      case Body::reason:
        EXPECT_EQ(row.status == 405 ? "method not allowed\n" : "not found\n", result->body);
    }
  }
}

TEST(HttpExporter, PassesTheQueryToTheCaptureOrRefusesItNamingTheParameter) {
  const std::string epoch =
      "parameter \"epoch\": expected a decimal from 1 to 18446744073709551615";
  const std::string budget =
      "parameter \"budget\": expected a positive duration such as 250ms, 2s or 1m";
  struct Case {
    std::string query;
    std::string refusal;  // empty: accepted
    qm::BarrierRequest request;
  };
  const std::vector<Case> cases = {
      {"epoch=4&barrier_sequence=9&logical_time=-3&budget=250ms", "", {4, 9, -3, 250'000'000}},
      {"%65poch=18446744073709551615&&logical_time=%2D9223372036854775808&budget=1m&",
       "",
       {18446744073709551615U, {}, INT64_MIN, 60'000'000'000}},
      {"budget=2s", "", {{}, {}, {}, 2'000'000'000}},
      {"ep%0Ach=1", "unknown parameter \"ep%0Ach\"", {}},
      {"budget=1s&budget=1s", "parameter \"budget\" given more than once", {}},
      {"epoch=0", epoch, {}},
      {"epoch=%2B4", epoch, {}},
      {"epoch", epoch, {}},
      {"barrier_sequence=18446744073709551616",
       "parameter \"barrier_sequence\": expected a decimal from 1 to 18446744073709551615",
       {}},
      {"logical_time=-9223372036854775809",
       "parameter \"logical_time\": expected a decimal from -9223372036854775808 to "
       "9223372036854775807",
       {}},
      {"budget=2.5s", budget, {}},
      {"budget=0ms", budget, {}},
      {"budget=1h", budget, {}},
      {"epoch=%4", "malformed percent-encoding in the query", {}},
  };
  Served served;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.query);
    served.seen.clear();
    const httplib::Result result = send(served.client, "GET /snapshot?" + row.query);
    ASSERT_TRUE(result);
    if (!row.refusal.empty()) {
      EXPECT_EQ(400, result->status);
      EXPECT_EQ(row.refusal + "\n", result->body);
      EXPECT_EQ(kReason, result->get_header_value("Content-Type"));
      EXPECT_TRUE(served.seen.empty());
      continue;
    }
    ASSERT_EQ(1U, served.seen.size());
    EXPECT_EQ(row.request, served.seen.front());
    EXPECT_EQ(snapshotFor(row.request).toCanonicalJson(), result->body);
  }
}

TEST(HttpExporter, AnswersAFailedCaptureWith500AndKeepsServing) {
  int calls = 0;
  Served served("", [&calls](const qm::BarrierRequest& request) {
    ++calls;
    if (calls == 1) throw std::runtime_error("probe on fire\nat line 2");
    if (calls == 2) throw 42;
    return snapshotFor(request);
  });
  for (const char* expected :
       {"capture failed: probe on fire at line 2\n", "capture failed: unknown exception\n"}) {
    const httplib::Result failed = send(served.client, "GET /snapshot");
    ASSERT_TRUE(failed);
    EXPECT_EQ(500, failed->status);
    EXPECT_EQ(expected, failed->body);
  }
  const httplib::Result recovered = send(served.client, "GET /snapshot");
  ASSERT_TRUE(recovered);
  EXPECT_EQ(200, recovered->status);
}

TEST(HttpExporter, NeverEntersTheCaptureTwiceAtOnce) {
  std::atomic<int> inside = 0;
  std::atomic<int> most = 0;
  Served served("", [&](const qm::BarrierRequest& request) {
    most = std::max(most.load(), ++inside);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --inside;
    return snapshotFor(request);
  });
  std::atomic<int> answered = 0;
  std::vector<std::thread> clients;
  for (int client = 0; client < 6; ++client) {
    clients.emplace_back([&] {
      httplib::Client own("127.0.0.1", served.exporter.port());
      for (int scrape = 0; scrape < 10; ++scrape) {
        const httplib::Result result = send(own, "GET /metrics");
        if (result && result->status == 200) ++answered;
      }
    });
  }
  for (std::thread& client : clients)
    client.join();
  EXPECT_EQ(60, answered);
  EXPECT_EQ(1, most);
}

/// The folder of this process's web configs, removed by each test that writes one.
std::filesystem::path configFolder() {
  return std::filesystem::path(testing::TempDir()) /
         ("quillon-http-test-" + std::to_string(::getpid()));
}

/// Writes `text` as a web config file of its own; returns its path.
std::string webConfig(const std::string& text) {
  static int written = 0;
  std::filesystem::create_directories(configFolder());
  const std::filesystem::path file = configFolder() / ("web" + std::to_string(++written) + ".yml");
  std::ofstream(file) << text;
  return file.string();
}

TEST(HttpExporter, LetsInOnlyConfiguredUsersWithTheirPasswords) {
  Served served(webConfig(std::string("basic_auth_users:\n  alice: ") + kSecretHash +
                          "\n  bob: " + kSecretHash + "\n"));
  const std::vector<std::pair<const char*, int>> cases = {
      {"", 401},
      {"Authorization: Basic YWxpY2U6c2VjcmV0", 200},  // alice:secret
      {"Authorization: basic   YWxpY2U6c2VjcmV0", 200},
      {"Authorization: Basic YWxpY2U6c2VjcmV1", 401},  // alice:secreu
      {"Authorization: Basic Ym9iOnNlY3JldA==", 200},  // bob:secret
      {"Authorization: Basic Y2Fyb2w6c2VjcmV0", 401},  // carol:secret
      {"Authorization: Basic YWxpY2U6c2VjcmV0=", 401},
      {"Authorization: Bearer YWxpY2U6c2VjcmV0", 401},
      {"Authorization: Basic YWxpY2U6c2VjcmV0\nAuthorization: Basic eDp5", 401},
  };
  for (const auto& [headers, status] : cases) {
    SCOPED_TRACE(headers);
    served.seen.clear();
    const httplib::Result result = send(served.client, "GET /nothing-but-auth", headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(status == 200 ? 404 : 401, result->status);
    EXPECT_EQ(status == 200 ? "" : "Basic", result->get_header_value("WWW-Authenticate"));
    EXPECT_EQ(status, send(served.client, "GET /metrics", headers)->status);
    EXPECT_EQ(status == 200 ? 1U : 0U, served.seen.size());
  }
  std::filesystem::remove_all(configFolder());
}

TEST(HttpExporter, RefusesToServeHalfConfigured) {
  const qm::HttpExporter taken({"127.0.0.1:0", ""}, snapshotFor);
  const std::string port = std::to_string(taken.port());
  const std::string key = webConfig("");  // a file that is no key
  struct Refusal {
    std::string listen;
    std::string config;  // YAML, or "" for none
    std::string message;
  };
  const std::vector<Refusal> cases = {
      {"127.0.0.1", "", "listen: expected ADDRESS:PORT such as 127.0.0.1:9464: 127.0.0.1"},
      {"127.0.0.1:65536", "",
       "listen: expected ADDRESS:PORT such as 127.0.0.1:9464: 127.0.0.1:65536"},
      {":9464", "", "listen: expected ADDRESS:PORT such as 127.0.0.1:9464: :9464"},
      {"[]:9464", "", "listen: expected ADDRESS:PORT such as 127.0.0.1:9464: []:9464"},
      {"127.0.0.1:" + port, "", "cannot listen on 127.0.0.1:" + port + ": Address already in use"},
      {"", "basic_auth_user:\n  alice: x\n",
       "FILE:1: web config: unknown key \"basic_auth_user\" (expected tls_server_config or "
       "basic_auth_users)"},
      {"", "basic_auth_users: {alice: x}\nbasic_auth_users: {bob: x}\n",
       "FILE:2: web config: key \"basic_auth_users\" given twice"},
      {"", "tls_server_config: [1\n", "FILE:2: end of sequence flow not found"},
      {"", "a: 1\n---\nb: 2\n", "FILE:3: expected one YAML document"},
      {"", "- tls_server_config\n", "FILE:1: web config: expected a mapping"},
      {"", "basic_auth_users:\n  alice: $2y$04$short\n",
       "FILE:2: basic_auth_users: the hash of \"alice\" is not a bcrypt hash ($2y$, $2b$ or $2a$, "
       "cost 04 to 31)"},
      {"", "basic_auth_users:\n  \"a:b\": x\n",
       "FILE:2: basic_auth_users: a user name is empty or holds \":\" or a control character"},
      {"", "basic_auth_users: {}\n", "FILE:1: basic_auth_users: expected at least one user"},
      {"", "tls_server_config:\n  cert_file: c.pem\n",
       "FILE:2: tls_server_config: cert_file and key_file are required"},
      {"", "tls_server_config:\n  cert_file: c\n  key_file: k\n  client_auth_type: RequireCert\n",
       "FILE:4: client_auth_type: expected NoClientCert, RequestClientCert, RequireAnyClientCert, "
       "VerifyClientCertIfGiven or RequireAndVerifyClientCert"},
      {"",
       "tls_server_config:\n  cert_file: c\n  key_file: k\n"
       "  client_auth_type: RequireAndVerifyClientCert\n",
       "FILE:4: client_auth_type: verifying client certificates needs client_ca_file"},
      {"", "tls_server_config:\n  cert_file: c\n  key_file: k\n  client_ca_file: ca\n",
       "FILE:4: client_ca_file: given, but client_auth_type asks for no client certificate"},
      {"", "tls_server_config:\n  cert_file: c\n  key_file: k\n  min_version: TLS11\n",
       "FILE:4: min_version: expected TLS12 or TLS13"},
      {"", "tls_server_config:\n  cert_file:\n  key_file: k\n",
       "FILE:2: cert_file: expected a file name"},
      {"", "tls_server_config:\n  cert_file: \"c\\0.pem\"\n  key_file: k\n",
       "FILE:2: cert_file: holds a NUL byte"},
      {"", "tls_server_config:\n  cert_file: " + key + "\n  key_file: k\n",
       key + ": cannot load certificate: no start line"},
  };
  for (const Refusal& row : cases) {
    SCOPED_TRACE(row.message);
    const std::string file = row.config.empty() ? "" : webConfig(row.config);
    std::string expected = row.message;
    if (expected.rfind("FILE:", 0) == 0) expected.replace(0, 4, file);
    try {
      const qm::HttpExporter refused({row.listen.empty() ? "127.0.0.1:0" : row.listen, file},
                                     snapshotFor);
      ADD_FAILURE() << "constructed, serving on " << refused.port();
    } catch (const std::exception& error) {
      EXPECT_EQ(expected, error.what());
    }
  }
  EXPECT_THROW(qm::HttpExporter({"127.0.0.1:0", "/nonexistent/web.yml"}, snapshotFor),
               std::runtime_error);
  // The system would open "web.yml" for "web.yml\0.bak".
  const std::string truncated = webConfig("basic_auth_users: {}\n") + std::string("\0.bak", 5);
  EXPECT_THAT(
      [&] {
        (void)qm::HttpExporter({"127.0.0.1:0", truncated}, snapshotFor);
      },
      testing::ThrowsMessage<std::invalid_argument>(
          testing::StrEq("web config file name holds a NUL byte")));
  std::filesystem::remove_all(configFolder());
}

}  // namespace
