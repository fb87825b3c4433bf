#pragma once
// One client connection of the service: a small state machine, every step of it under a deadline.
//   Handshake -> Idle -> Header -> Sending -> (Idle again when kept alive | Lingering) -> Closed
// TLS is OpenSSL on the non-blocking socket itself: an idle connection holds a socket, a timer and
// an SSL object whose buffers OpenSSL releases while nothing is in flight. All of a connection's
// handlers run on its own strand.

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "AccessLog.h"
#include "DownloadService.h"
#include "ServerLimits.h"
#include "ServiceMetrics.h"

namespace quorvex::service {

class ServiceConnection;

// What the connections of one server share. Each connection is registered here while it lives,
// so that a stop reaches every open one.
struct ConnectionShared {
  const DownloadService& service;
  AccessLog& log;
  SSL_CTX* tls;
  ServerLimits limits;
  std::atomic<bool> stopping{false};  // answers under way finish, nothing new begins
  ServiceMetrics metrics;

  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<ServiceConnection>> connections;
  std::uint64_t nextId = 0;

  ConnectionShared(const DownloadService& s, AccessLog& l, SSL_CTX* t, ServerLimits m)
      : service(s), log(l), tls(t), limits(m) {}

  std::size_t Count();
  // The connections open now, kept alive while the caller holds them.
  std::vector<std::shared_ptr<ServiceConnection>> Snapshot();
};

class ServiceConnection : public std::enable_shared_from_this<ServiceConnection> {
 public:
  // socket: accepted, with its own strand as executor. Nothing happens before Start.
  ServiceConnection(std::shared_ptr<ConnectionShared> shared, boost::asio::ip::tcp::socket socket);
  ~ServiceConnection();
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  // Registers the connection and starts its handshake on its strand; a connection that cannot
  // be set up closes there.
  void Start();

  // From any thread: closes at once when nothing is under way (or when forced), otherwise
  // lets the current response finish and closes then.
  void Stop(bool force);

 private:
  enum class Phase { Handshake, Idle, Header, Sending, Lingering, Closed };
  using Step = void (ServiceConnection::*)();
  struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };

  void Begin();
  // Deadlines and waiting.
  void SetDeadline(std::chrono::milliseconds timeout);
  void OnDeadline();
  void WaitFor(boost::asio::ip::tcp::socket::wait_type direction, Step next);
  bool WaitForTls(int result, Step next);
  // The steps.
  void Handshake();
  void AwaitRequest();
  void OnIdleReadable();
  void BeginRequest();
  void ReadHeader();
  void Refuse(boost::beast::http::status status, const std::string& text);
  void Respond();
  void StartReply(Reply reply, bool headOnly, unsigned requestVersion);
  void Send();
  void FinishReply();
  void Linger();
  void Drain();
  void Close();
  // Ends an answer early: the client sees a transfer that failed, never a complete one.
  void Cut(CutReason reason);
  void LogRequest(int status, std::uint64_t bytes, CutReason cut = CutReason::None);

  std::shared_ptr<ConnectionShared> shared_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer timer_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
  std::uint64_t id_ = 0;
  Phase phase_ = Phase::Handshake;
  std::string remote_;

  std::string input_;  // received and not yet parsed: at most the header limit and one record
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;

  Reply reply_;
  bool keepAlive_ = false;
  int status_ = 0;
  std::string output_;  // header and text body, or the current block of the file
  std::size_t outputSent_ = 0;
  std::size_t headerBytes_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t bodySent_ = 0;
  std::uint64_t sinceYield_ = 0;
  std::uint64_t fileNext_ = 0;
  std::uint64_t fileLeft_ = 0;
  std::uint64_t lingered_ = 0;
  int settleWaits_ = 0;  // waits of this request for its file to stop changing

  std::chrono::steady_clock::time_point requestStart_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastProgress_ = std::chrono::steady_clock::now();
  std::string method_;
  std::string target_;
  std::string agent_;
};

}  // namespace quorvex::service
