#include "ServiceServer.h"

#include <openssl/err.h>

#include <boost/asio/dispatch.hpp>

#include <array>
#include <stdexcept>
#include <utility>

#include "Listener.h"
#include "ServiceConnection.h"

namespace quorvex::service {
namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    std::array<char, 256> buffer{};
    ERR_error_string_n(code, buffer.data(), buffer.size());
    if (!text.empty()) text += "; ";
    text += buffer.data();
  }
  return text.empty() ? "no detail" : text;
}

}  // namespace

SslContext MakeServerTlsContext(const std::string& certificateFile, const std::string& keyFile) {
  SslContext context(SSL_CTX_new(TLS_server_method()));
  if (!context) throw std::runtime_error("cannot make a TLS context: " + OpenSslErrors());
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // TLS 1.2: forward secrecy and authenticated encryption only. TLS 1.3 suites are all AEAD.
  if (SSL_CTX_set_cipher_list(ctx,
                              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                              "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
    throw std::runtime_error("cannot set the TLS 1.2 ciphers: " + OpenSslErrors());
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Resumption through tickets only: a server-side session cache grows with every client.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    throw std::runtime_error("cannot use the certificate " + certificateFile + " with the key " + keyFile + ": " +
                             OpenSslErrors());
  }
  return context;
}

ServiceServer::ServiceServer(asio::io_context& io, const DownloadService& service, AccessLog& log, SSL_CTX* tls,
                             ServerLimits limits, const tcp::endpoint& listen)
    : io_(io),
      shared_(std::make_shared<ConnectionShared>(service, log, tls, limits)),
      strand_(asio::make_strand(io)),
      acceptor_(strand_),
      retry_(strand_),
      stopWatch_(strand_) {
  ListenOn(acceptor_, listen, "");
  port_ = acceptor_.local_endpoint().port();
}

ServiceServer::~ServiceServer() = default;

std::size_t ServiceServer::ConnectionCount() const { return shared_->Count(); }

bool ServiceServer::Stopping() const { return shared_->stopping; }

std::string ServiceServer::MetricsText() const { return shared_->metrics.Render(shared_->Count(), shared_->stopping); }

void ServiceServer::Start() {
  asio::dispatch(strand_, [this] { Accept(); });
}

void ServiceServer::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](error_code error, tcp::socket socket) {
    if (shared_->stopping || error == asio::error::operation_aborted) return;
    if (error) {
      // Out of descriptors or memory: try again shortly instead of spinning on the error.
      retry_.expires_after(std::chrono::milliseconds(100));
      retry_.async_wait([this](error_code waited) {
        if (!waited && !shared_->stopping) Accept();
      });
      return;
    }
    shared_->metrics.CountAccepted();
    if (shared_->Count() >= shared_->limits.maxConnections) {
      shared_->metrics.CountLimit(LimitHit::Connections);
      error_code ignored;
      socket.close(ignored);
    } else {
      std::make_shared<ServiceConnection>(shared_, std::move(socket))->Start();
    }
    Accept();
  });
}

void ServiceServer::Stop(std::function<void()> onStopped) {
  asio::dispatch(strand_, [this, onStopped = std::move(onStopped)]() mutable {
    ++stops_;
    if (stops_ == 1) {
      onStopped_ = std::move(onStopped);
      shared_->stopping = true;
      error_code ignored;
      acceptor_.close(ignored);
      retry_.cancel();
      stopDeadline_ = Clock::now() + shared_->limits.stopGrace;
      for (auto& connection : shared_->Snapshot()) connection->Stop(false);
      WatchStop();
    } else if (!forced_) {
      forced_ = true;
      for (auto& connection : shared_->Snapshot()) connection->Stop(true);
    }
  });
}

void ServiceServer::WatchStop() {
  if (shared_->Count() == 0) {
    if (onStopped_) std::exchange(onStopped_, nullptr)();
    return;
  }
  if (!forced_ && Clock::now() >= stopDeadline_) {
    forced_ = true;
    for (auto& connection : shared_->Snapshot()) connection->Stop(true);
  }
  stopWatch_.expires_after(std::chrono::milliseconds(50));
  stopWatch_.async_wait([this](error_code error) {
    if (!error) WatchStop();
  });
}

}  // namespace quorvex::service
