#include <quillon/monitoring/http_gather.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include <openssl/evp.h>
#include <signal.h>

#include "part_client.hpp"
#include "web_config.hpp"

namespace Quillon::Core::Monitoring {

namespace {

using SteadyClock = std::chrono::steady_clock;

/// What the exchanges of one gather give, each in its place as it ends.
struct Board {
  Board(std::size_t parts, std::string asked)
      : query(std::move(asked)), given(parts), pending(parts) {}

  const std::string query;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<SnapshotPart>> given;
  std::size_t pending;
};

/// An exchange still running when its gather returned, joined once it has given its part.
struct LeftBehind {
  std::thread thread;
  std::shared_ptr<Board> board;
  std::size_t slot = 0;
};

/// The query of `request`: its barrier where set, and the budget in whole milliseconds.
std::string queryOf(const BarrierRequest& request, std::uint64_t budget_ns) {
  std::string query;
  if (request.epoch) query += "epoch=" + std::to_string(*request.epoch) + "&";
  if (request.barrier_sequence) {
    query += "barrier_sequence=" + std::to_string(*request.barrier_sequence) + "&";
  }
  if (request.logical_time) query += "logical_time=" + std::to_string(*request.logical_time) + "&";
  return query + "budget=" + std::to_string(std::max<std::uint64_t>(budget_ns / 1'000'000, 1)) +
         "ms";
}

/// `budget_ns` after `start`, saturated so that the deadline and its grace stay on the clock: a
/// budget of centuries is waited for, not wrapped around into the past.
SteadyClock::time_point deadlineAfter(SteadyClock::time_point start, std::uint64_t budget_ns) {
  static_assert(std::is_same_v<SteadyClock::duration, std::chrono::nanoseconds>);
  const auto room = static_cast<std::uint64_t>((SteadyClock::time_point::max() - start).count());
  return start + std::chrono::nanoseconds(
                     static_cast<std::int64_t>(std::min(budget_ns, room - kGatherGraceNs)));
}

/// "Basic " and the base64 of "USER:PASSWORD".
std::string basicAuthorization(const Http::BasicAuthCredentials& credentials) {
  const std::string plain = credentials.username + ":" + credentials.password;
  std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(plain.data()),
                                     static_cast<int>(plain.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return "Basic " + encoded;
}

}  // namespace

struct HttpGatherer::Reaching {
  std::vector<std::pair<std::string, Http::PartUrl>> parts;
  Http::ClientSetup setup;
  std::mutex left_mutex;
  std::vector<LeftBehind> left;

  /// Joins the exchanges left behind that have ended; all of them when `all`.
  void reap(bool all) {
    const std::lock_guard lock(left_mutex);
    std::erase_if(left, [all](LeftBehind& exchange) {
      {
        const std::lock_guard given(exchange.board->mutex);
        if (!all && !exchange.board->given[exchange.slot]) return false;
      }
      exchange.thread.join();
      return true;
    });
  }
};

HttpGatherer::HttpGatherer(std::vector<PartSource> parts, HttpClientOptions options)
    : reaching_(std::make_unique<Reaching>()) {
  if (parts.empty()) throw std::invalid_argument("a gather needs at least one part");
  std::set<std::string, std::less<>> ids;
  bool any_tls = false;
  for (PartSource& part : parts) {
    if (part.id.empty()) throw std::invalid_argument("part without an id: " + part.url);
    if (!ids.insert(part.id).second) {
      throw std::invalid_argument("part " + part.id + " given twice");
    }
    std::optional<Http::PartUrl> url = Http::parsePartUrl(part.url);
    if (!url) {
      throw std::invalid_argument(
          "part " + part.id + ": expected http://HOST[:PORT][/PREFIX] or https://...: " + part.url);
    }
    any_tls = any_tls || url->tls;
    reaching_->parts.emplace_back(std::move(part.id), std::move(*url));
  }
  const Http::ClientConfig config = options.web_config_file.empty()
                                        ? Http::ClientConfig{}
                                        : Http::readClientConfig(options.web_config_file);
  if (config.basic_auth) {
    for (const auto& [id, url] : reaching_->parts) {
      if (!url.tls) {
        throw std::invalid_argument("part " + id + ": basic_auth is sent over https:// only: " +
                                    url.snapshot.substr(0, url.snapshot.size() - 9));
      }
    }
    reaching_->setup.authorization = basicAuthorization(*config.basic_auth);
  }
  const Http::TlsClientConfig& tls = config.tls_config;
  // Files a config names are loaded even when no part needs them: a mistake shows at once.
  if (any_tls || !tls.ca_file.empty() || !tls.cert_file.empty()) {
    reaching_->setup.tls = Http::makeClientTlsContext(tls);
  }
  reaching_->setup.server_name = tls.server_name;
  reaching_->setup.max_answer_bytes = options.max_answer_bytes;
}

HttpGatherer::~HttpGatherer() {
  reaching_->reap(true);
}

std::vector<SnapshotPart> HttpGatherer::gather(const BarrierRequest& request) const {
  reaching_->reap(false);
  const std::uint64_t budget_ns = request.budget_ns.value_or(kDefaultGatherBudgetNs);
  const SteadyClock::time_point deadline = deadlineAfter(SteadyClock::now(), budget_ns);
  const std::size_t count = reaching_->parts.size();
  const auto board = std::make_shared<Board>(count, queryOf(request, budget_ns));
  std::vector<std::thread> threads(count);
  for (std::size_t slot = 0; slot < count; ++slot) {
    const auto& [id, url] = reaching_->parts[slot];
    // The parts outlive every exchange (the destructor joins those left behind); the query
    // is the board's, which each exchange shares.
    const auto ask = [board, slot, &part = reaching_->parts[slot], deadline,
                      reaching = reaching_.get()] {
      // Writes to a part that went away fail with EPIPE instead of raising SIGPIPE, whatever
      // the process does with the signal; a blocked SIGPIPE dies with the thread.
      sigset_t pipe{};
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      SnapshotPart given =
          Http::askPart(part.first, part.second, board->query, reaching->setup, deadline);
      const std::lock_guard lock(board->mutex);
      board->given[slot] = std::move(given);
      --board->pending;
      board->changed.notify_all();
    };
    try {
      threads[slot] = std::thread(ask);
    } catch (const std::system_error& error) {
      const std::lock_guard lock(board->mutex);
      board->given[slot] = SnapshotPart{id, std::nullopt, SubjectStatus::missing,
                                        url.snapshot + ": cannot start a thread: " + error.what()};
      --board->pending;
    }
  }

  std::vector<SnapshotPart> parts;
  parts.reserve(count);
  std::unique_lock lock(board->mutex);
  board->changed.wait_until(lock, deadline + std::chrono::nanoseconds(kGatherGraceNs),
                            [&] { return board->pending == 0; });
  std::vector<LeftBehind> left;
  for (std::size_t slot = 0; slot < count; ++slot) {
    const auto& [id, url] = reaching_->parts[slot];
    if (board->given[slot]) {
      parts.push_back(std::move(*board->given[slot]));
      continue;
    }
    parts.push_back({id, std::nullopt, SubjectStatus::deadline_exceeded,
                     url.snapshot + ": no whole answer within the budget (still waiting)"});
    left.push_back({std::move(threads[slot]), board, slot});
  }
  lock.unlock();
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  if (!left.empty()) {
    const std::lock_guard left_lock(reaching_->left_mutex);
    for (LeftBehind& exchange : left)
      reaching_->left.push_back(std::move(exchange));
  }
  return parts;
}

}  // namespace Quillon::Core::Monitoring
