#pragma once
// The service's counters, kept by every connection and read in Prometheus' text format on the
// metrics listener. Relaxed atomics: each is a sum on its own, and a scrape may see one request
// counted a moment before its bytes.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::service {

// Why a response ended before its last byte.
enum class CutReason { None, ClientGone, FileChanged, ReadError, TimeOut, StopGrace };
inline constexpr std::size_t kCutReasons = 6;

// The limits of the service's table, each counted when a connection runs into it.
enum class LimitHit {
  HeaderSize,        // 431
  HeaderTimeout,     // 408, connection closed
  HandshakeTimeout,
  IdleTimeout,
  RequestBody,       // 400, connection closed
  Method,            // 405
  Connections,       // closed at accept
  SendTimeout,       // a client that took nothing
};
inline constexpr std::size_t kLimitHits = 8;

// The log's and the metrics' name of a reason ("-" for none).
std::string_view CutReasonName(CutReason reason);

class ServiceMetrics {
 public:
  // method: as received; status: the answer's (or the 408 of a request never read whole).
  void CountRequest(std::string_view method, int status);
  void CountCut(CutReason reason) { Add(cuts_[static_cast<std::size_t>(reason)]); }
  void CountLimit(LimitHit limit) { Add(limits_[static_cast<std::size_t>(limit)]); }
  void CountHandshakeFailure() { Add(handshakeFailures_); }
  void CountAccepted() { Add(accepted_); }
  void CountBodyBytes(std::uint64_t bytes) { Add(bodyBytes_, bytes); }

  // The exposition text; the gauges are given by the server at the time of the scrape.
  std::string Render(std::size_t connectionsOpen, bool stopping) const;

 private:
  static void Add(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
  }

  static constexpr std::size_t kMethods = 3;  // GET, HEAD, other
  static constexpr std::size_t kClasses = 5;  // 1xx .. 5xx
  std::array<std::array<std::atomic<std::uint64_t>, kClasses>, kMethods> requests_{};
  std::array<std::atomic<std::uint64_t>, kCutReasons> cuts_{};
  std::array<std::atomic<std::uint64_t>, kLimitHits> limits_{};
  std::atomic<std::uint64_t> handshakeFailures_{0};
  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> bodyBytes_{0};
};

}  // namespace quorvex::service
