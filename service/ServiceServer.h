#pragma once
// The HTTPS side of the service: the TLS context, and the server that accepts connections
// (ServiceConnection serves each), bounds their number and stops them.
//
// Event-driven on Boost.Asio: one io_context, any number of threads calling run().

#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "AccessLog.h"
#include "DownloadService.h"
#include "ServerLimits.h"

namespace quorvex::service {

struct ConnectionShared;

struct SslContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextDeleter>;

// TLS 1.2 and 1.3 only; for 1.2 only ECDHE key exchange with AEAD ciphers. Throws
// std::runtime_error when the certificate chain or the key cannot be used.
SslContext MakeServerTlsContext(const std::string& certificateFile, const std::string& keyFile);

class ServiceServer {
 public:
  // Binds and listens at once (port 0 picks a free one); throws std::runtime_error on failure.
  // service, log and tls must outlive every thread that runs io.
  ServiceServer(boost::asio::io_context& io, const DownloadService& service, AccessLog& log, SSL_CTX* tls,
                ServerLimits limits, const boost::asio::ip::tcp::endpoint& listen);
  ~ServiceServer();
  ServiceServer(const ServiceServer&) = delete;
  ServiceServer& operator=(const ServiceServer&) = delete;

  unsigned short Port() const { return port_; }

  // Starts accepting; call once, before running io.
  void Start();

  // Stops accepting and closes idle connections; responses under way finish, up to the grace
  // time, then every connection is closed. Once no connection is left, onStopped runs and the
  // server holds no more work on io. A second call closes every connection at once.
  void Stop(std::function<void()> onStopped);

  std::size_t ConnectionCount() const;
  // True from the first Stop on: the service no longer accepts.
  bool Stopping() const;
  // The counters and gauges in Prometheus' text format.
  std::string MetricsText() const;

 private:
  void Accept();
  void WatchStop();

  boost::asio::io_context& io_;
  std::shared_ptr<ConnectionShared> shared_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;  // acceptor, timers, stop state
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;
  boost::asio::steady_timer stopWatch_;
  unsigned short port_ = 0;
  std::function<void()> onStopped_;
  std::chrono::steady_clock::time_point stopDeadline_;
  int stops_ = 0;
  bool forced_ = false;
};

}  // namespace quorvex::service
