#pragma once
// The operators' listener: plain HTTP on an address of its own, never the public one.
//   GET /metrics  the service's counters in Prometheus' text format
//   GET /healthz  200 while the service accepts, 503 once it stops
// One request per connection, each under a short deadline, and few connections at once: it is
// for a scraper and a load balancer's probe, not for the public.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace quorvex::service {

struct MetricsSource {
  std::function<std::string()> metrics;  // the exposition text
  std::function<bool()> healthy;         // accepting
};

class MetricsServer {
 public:
  // Binds and listens at once (port 0 picks a free one); throws std::runtime_error on failure.
  MetricsServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& listen, MetricsSource source);
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  unsigned short Port() const { return port_; }
  void Start();
  // Stops accepting; requests under way end within their deadline.
  void Stop();

 private:
  void Accept();

  boost::asio::io_context& io_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;
  std::shared_ptr<const MetricsSource> source_;
  std::shared_ptr<std::atomic<std::size_t>> open_;
  unsigned short port_ = 0;
};

}  // namespace quorvex::service
