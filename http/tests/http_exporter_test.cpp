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

#include <gtest/gtest.h>
#include <httplib.h>

#include <quillon/monitoring/openmetrics.hpp>

namespace {

namespace qm = Quillon::Core::Monitoring;

constexpr const char* kOpenMetrics = "application/openmetrics-text; version=1.0.0; charset=utf-8";
constexpr const char* kPrometheusText = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kReason = "text/plain; charset=utf-8";
// What Prometheus 2.42 sends with every scrape.
constexpr const char* kPrometheusAccept =
    "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
    "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1";
// htpasswd -nbBC 4 alice secret
constexpr const char* kAliceHash = "$2y$04$EqISk0aEWErq/iM9RjBfeeLVZHCxc1l5xZ2MYPayvuqQF7jcAgj8u";

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

httplib::Result send(httplib::Client& client, std::string method, std::string target,
                     httplib::Headers headers = {}) {
  httplib::Request request;
  request.method = std::move(method);
  request.path = std::move(target);
  request.headers = std::move(headers);
  return client.send(request);
}

enum class Body { metrics, snapshot, exact, excerpt, none };

struct Case {
  const char* what;
  const char* method;
  const char* target;
  httplib::Headers headers;
  int status;
  const char* type;  // the Content-Type, or nullptr for any
  Body body;
  std::string text;                            // the body (exact) or a part of it (excerpt)
  std::optional<qm::BarrierRequest> captured;  // what the capture saw; nothing: not called
};

TEST(HttpExporter, AnswersEachEndpointAndQueryAsDocumented) {
  const qm::BarrierRequest none{};
  const std::vector<Case> cases = {
      {"metrics as Prometheus text by default",
       "GET",
       "/metrics",
       {},
       200,
       kPrometheusText,
       Body::metrics,
       "",
       none},
      {"metrics as OpenMetrics for Prometheus's Accept",
       "GET",
       "/metrics",
       {{"Accept", kPrometheusAccept}},
       200,
       kOpenMetrics,
       Body::metrics,
       "",
       none},
      {"plain text weighed above OpenMetrics",
       "GET",
       "/metrics",
       {{"Accept", "application/openmetrics-text;q=0.5, text/plain"}},
       200,
       kPrometheusText,
       Body::metrics,
       "",
       none},
      {"metrics gzip-compressed when accepted",
       "GET",
       "/metrics",
       {{"Accept-Encoding", "gzip"}},
       200,
       kPrometheusText,
       Body::metrics,
       "",
       none},
      {"every parameter",
       "GET",
       "/snapshot?epoch=4&barrier_sequence=9&logical_time=-3&budget=250ms",
       {},
       200,
       "application/json",
       Body::snapshot,
       "",
       qm::BarrierRequest{4, 9, -3, 250'000'000}},
      {"extremes, percent-encoded names and values, empty pairs",
       "GET",
       "/snapshot?%65poch=18446744073709551615&&logical_time=%2D9223372036854775808&budget=1m&",
       {},
       200,
       "application/json",
       Body::snapshot,
       "",
       qm::BarrierRequest{18446744073709551615U, {}, INT64_MIN, 60'000'000'000}},
      {"HEAD captures, answers no body",
       "HEAD",
       "/metrics",
       {},
       200,
       kPrometheusText,
       Body::none,
       "",
       none},
      {"the page links both endpoints",
       "GET",
       "/",
       {},
       200,
       "text/html; charset=utf-8",
       Body::excerpt,
       "<a href=\"metrics\">",
       std::nullopt},
      {"POST to a served path",
       "POST",
       "/metrics",
       {},
       405,
       kReason,
       Body::exact,
       "method not allowed\n",
       std::nullopt},
      {"DELETE to the page",
       "DELETE",
       "/",
       {},
       405,
       kReason,
       Body::exact,
       "method not allowed\n",
       std::nullopt},
      {"another path",
       "GET",
       "/metrics/",
       {},
       404,
       kReason,
       Body::exact,
       "not found\n",
       std::nullopt},
      {"unknown parameter, its control byte encoded",
       "GET",
       "/metrics?ep%0Ach=1",
       {},
       400,
       kReason,
       Body::exact,
       "unknown parameter \"ep%0Ach\"\n",
       std::nullopt},
      {"repeated parameter",
       "GET",
       "/snapshot?budget=1s&budget=1s",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"budget\" given more than once\n",
       std::nullopt},
      {"epoch 0",
       "GET",
       "/metrics?epoch=0",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"epoch\": expected a decimal from 1 to 18446744073709551615\n",
       std::nullopt},
      {"barrier sequence beyond 64 bits",
       "GET",
       "/metrics?barrier_sequence=18446744073709551616",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"barrier_sequence\": expected a decimal from 1 to 18446744073709551615\n",
       std::nullopt},
      {"signed epoch",
       "GET",
       "/metrics?epoch=%2B4",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"epoch\": expected a decimal from 1 to 18446744073709551615\n",
       std::nullopt},
      {"epoch without a value",
       "GET",
       "/metrics?epoch",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"epoch\": expected a decimal from 1 to 18446744073709551615\n",
       std::nullopt},
      {"logical time below 64 bits",
       "GET",
       "/metrics?logical_time=-9223372036854775809",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"logical_time\": expected a decimal from -9223372036854775808 to "
       "9223372036854775807\n",
       std::nullopt},
      {"fractional budget",
       "GET",
       "/metrics?budget=2.5s",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"budget\": expected a positive duration such as 250ms, 2s or 1m\n",
       std::nullopt},
      {"zero budget",
       "GET",
       "/metrics?budget=0ms",
       {},
       400,
       kReason,
       Body::exact,
       "parameter \"budget\": expected a positive duration such as 250ms, 2s or 1m\n",
       std::nullopt},
      {"truncated percent-encoding",
       "GET",
       "/metrics?epoch=%4",
       {},
       400,
       kReason,
       Body::exact,
       "malformed percent-encoding in the query\n",
       std::nullopt},
  };
  Served served;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    served.seen.clear();
    httplib::Headers headers = row.headers;
    if (row.headers.count("Accept-Encoding") == 0) headers.emplace("Accept-Encoding", "identity");
    const httplib::Result result = send(served.client, row.method, row.target, headers);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(row.status, result->status);
    if (row.type != nullptr) {
      EXPECT_EQ(row.type, result->get_header_value("Content-Type"));
    }
    const bool gzip = row.headers.count("Accept-Encoding") == 1;
    EXPECT_EQ(gzip ? "gzip" : "", result->get_header_value("Content-Encoding"));
    EXPECT_EQ(row.status == 405 ? "GET, HEAD" : "", result->get_header_value("Allow"));
    ASSERT_EQ(row.captured.has_value(), served.seen.size() == 1);
    if (row.captured) {
      EXPECT_EQ(*row.captured, served.seen.front());
    }
    const qm::RuntimeStateSnapshot expected = snapshotFor(row.captured.value_or(none));
    switch (row.body) {
      case Body::metrics:
        EXPECT_EQ(qm::toOpenMetrics(expected), result->body);
        break;
      case Body::snapshot:
        EXPECT_EQ(expected.toCanonicalJson(), result->body);
        break;
      case Body::exact:
        EXPECT_EQ(row.text, result->body);
        break;
      case Body::excerpt:
        EXPECT_NE(std::string::npos, result->body.find(row.text));
        break;
      case Body::none:
        EXPECT_EQ("", result->body);
        EXPECT_EQ(std::to_string(qm::toOpenMetrics(expected).size()),
                  result->get_header_value("Content-Length"));
    }
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
    const httplib::Result failed = send(served.client, "GET", "/snapshot");
    ASSERT_TRUE(failed);
    EXPECT_EQ(500, failed->status);
    EXPECT_EQ(expected, failed->body);
  }
  const httplib::Result recovered = send(served.client, "GET", "/snapshot");
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
        const httplib::Result result = send(own, "GET", "/metrics");
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
  Served served(webConfig(std::string("basic_auth_users:\n  alice: ") + kAliceHash + "\n"));
  const std::vector<std::pair<httplib::Headers, int>> cases = {
      {{}, 401},
      {{{"Authorization", "Basic YWxpY2U6c2VjcmV0"}}, 200},  // alice:secret
      {{{"Authorization", "basic   YWxpY2U6c2VjcmV0"}}, 200},
      {{{"Authorization", "Basic YWxpY2U6c2VjcmV1"}}, 401},  // alice:secreu
      {{{"Authorization", "Basic Ym9iOnNlY3JldA=="}}, 401},  // bob:secret
      {{{"Authorization", "Basic YWxpY2U6c2VjcmV0="}}, 401},
      {{{"Authorization", "Bearer YWxpY2U6c2VjcmV0"}}, 401},
      {{{"Authorization", "Basic YWxpY2U6c2VjcmV0"}, {"Authorization", "Basic eDp5"}}, 401},
  };
  for (const auto& [headers, status] : cases) {
    SCOPED_TRACE(headers.empty() ? "no credentials" : headers.begin()->second);
    served.seen.clear();
    const httplib::Result result = send(served.client, "GET", "/nothing-but-auth", headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(status == 200 ? 404 : 401, result->status);
    EXPECT_EQ(status == 200 ? "" : "Basic", result->get_header_value("WWW-Authenticate"));
    const httplib::Result scrape = send(served.client, "GET", "/metrics", headers);
    EXPECT_EQ(status, scrape->status);
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
  std::filesystem::remove_all(configFolder());
}

}  // namespace
