#include "ServiceMetrics.h"

#include <algorithm>

namespace quorvex::service {
namespace {

constexpr std::array<std::string_view, 3> kMethodNames = {"GET", "HEAD", "other"};
constexpr std::array<std::string_view, kCutReasons> kCutNames = {"-",          "client-gone", "file-changed",
                                                                  "read-error", "time-out",    "stop-grace"};
constexpr std::array<std::string_view, kLimitHits> kLimitNames = {
    "header_size", "header_timeout", "handshake_timeout", "idle_timeout",
    "request_body", "method",        "connections",       "send_timeout"};

// Prometheus label values use "_" where the log uses "-".
std::string LabelValue(std::string_view name) {
  std::string value(name);
  std::replace(value.begin(), value.end(), '-', '_');
  return value;
}

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(std::to_string(value)).append("\n");
}

}  // namespace

std::string_view CutReasonName(CutReason reason) { return kCutNames[static_cast<std::size_t>(reason)]; }

void ServiceMetrics::CountRequest(std::string_view method, int status) {
  const std::size_t row = method == "GET" ? 0 : method == "HEAD" ? 1 : 2;
  const std::size_t column = static_cast<std::size_t>(std::clamp(status / 100, 1, 5) - 1);
  Add(requests_[row][column]);
}

std::string ServiceMetrics::Render(std::size_t connectionsOpen, bool stopping) const {
  const auto load = [](const std::atomic<std::uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
  std::string out;
  Family(out, "qv_service_requests_total", "counter", "Requests answered, by method and status class.");
  for (std::size_t row = 0; row < kMethods; ++row) {
    for (std::size_t column = 0; column < kClasses; ++column) {
      const std::string labels = "method=\"" + std::string(kMethodNames[row]) + "\",code=\"" +
                                 std::to_string(column + 1) + "xx\"";
      Sample(out, "qv_service_requests_total", labels, load(requests_[row][column]));
    }
  }
  Family(out, "qv_service_response_body_bytes_total", "counter", "Response body bytes sent.");
  Sample(out, "qv_service_response_body_bytes_total", "", load(bodyBytes_));
  Family(out, "qv_service_responses_cut_total", "counter",
         "Responses ended before their last byte, by reason; the client sees a failed transfer.");
  for (std::size_t reason = 1; reason < kCutReasons; ++reason) {
    Sample(out, "qv_service_responses_cut_total", "reason=\"" + LabelValue(kCutNames[reason]) + "\"",
           load(cuts_[reason]));
  }
  Family(out, "qv_service_limit_hits_total", "counter", "Connections or requests that ran into a limit.");
  for (std::size_t limit = 0; limit < kLimitHits; ++limit) {
    Sample(out, "qv_service_limit_hits_total", "limit=\"" + std::string(kLimitNames[limit]) + "\"", load(limits_[limit]));
  }
  Family(out, "qv_service_tls_handshake_failures_total", "counter", "TLS handshakes that failed or timed out.");
  Sample(out, "qv_service_tls_handshake_failures_total", "", load(handshakeFailures_));
  Family(out, "qv_service_connections_accepted_total", "counter", "Connections accepted, including those closed at once.");
  Sample(out, "qv_service_connections_accepted_total", "", load(accepted_));
  Family(out, "qv_service_connections_open", "gauge", "Client connections open now.");
  Sample(out, "qv_service_connections_open", "", connectionsOpen);
  Family(out, "qv_service_stopping", "gauge", "1 once the service stops accepting, 0 while it accepts.");
  Sample(out, "qv_service_stopping", "", stopping ? 1 : 0);
  return out;
}

}  // namespace quorvex::service
