#include "ServiceConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <sstream>
#include <utility>

namespace quorvex::service {
namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// TLS records carry at most 16 KiB; reading one at a time keeps the input buffer that small.
constexpr std::size_t kReadChunk = 16 * 1024;
// Read from the file and handed to TLS in blocks of this size: the one large buffer a download holds.
constexpr std::size_t kFileBlock = 64 * 1024;
// A download that never has to wait still lets other connections run after this many bytes.
constexpr std::uint64_t kFairShare = 1024 * 1024;
// After a refused request the client may still be sending; its bytes are read and dropped for a
// while so that closing does not reset the connection before the answer has reached it.
constexpr std::chrono::milliseconds kLingerTime{2000};
// A file written less than this long ago may still be being written (a copy onto the live file
// pauses between its writes, and at any pause the file looks whole at its current size), so its
// answer waits until the file has been still that long; one still written after that many waits
// is refused with 503 instead of being handed out as complete.
constexpr std::chrono::milliseconds kSettleTime{1000};
constexpr int kSettleWaits = 5;

// How much longer a file must stay unwritten before it may be served; zero when it has been still
// for kSettleTime. A time in the future (a clock set back, a copy that kept another machine's
// times) counts as still: there is no later moment to wait for.
std::chrono::milliseconds SettleLeft(const FileVersion& version) {
  const auto modified = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(version.modifiedSeconds) + std::chrono::nanoseconds(version.modifiedNanoseconds)));
  const auto age = std::chrono::system_clock::now() - modified;
  if (age < std::chrono::system_clock::duration::zero() || age >= kSettleTime) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(kSettleTime - age);
}
constexpr std::uint64_t kLingerBytes = 1024 * 1024;

}  // namespace

std::size_t ConnectionShared::Count() {
  const std::lock_guard<std::mutex> lock(mutex);
  return connections.size();
}

std::vector<std::shared_ptr<ServiceConnection>> ConnectionShared::Snapshot() {
  std::vector<std::shared_ptr<ServiceConnection>> all;
  const std::lock_guard<std::mutex> lock(mutex);
  for (auto& [id, weak] : connections) {
    if (auto connection = weak.lock()) all.push_back(std::move(connection));
  }
  return all;
}

ServiceConnection::ServiceConnection(std::shared_ptr<ConnectionShared> shared, tcp::socket socket)
    : shared_(std::move(shared)), socket_(std::move(socket)), timer_(socket_.get_executor()) {}

ServiceConnection::~ServiceConnection() {
  const std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->connections.erase(id_);
}

void ServiceConnection::Start() {
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    id_ = shared_->nextId++;
    shared_->connections.emplace(id_, weak_from_this());
  }
  asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->Begin(); });
}

void ServiceConnection::Stop(bool force) {
  asio::dispatch(socket_.get_executor(), [self = shared_from_this(), force] {
    if (force || self->phase_ == Phase::Handshake || self->phase_ == Phase::Idle) {
      if (self->phase_ == Phase::Sending) return self->Cut(CutReason::StopGrace);
      self->Close();
    } else {
      self->keepAlive_ = false;
    }
  });
}

void ServiceConnection::Begin() {
  error_code error;
  const auto remote = socket_.remote_endpoint(error);
  remote_ = error ? "-" : remote.address().to_string();
  socket_.non_blocking(true, error);
  socket_.set_option(tcp::no_delay(true), error);
  ssl_.reset(SSL_new(shared_->tls));
  if (error || !ssl_ || SSL_set_fd(ssl_.get(), socket_.native_handle()) != 1) {
    ERR_clear_error();
    return Close();
  }
  SSL_set_accept_state(ssl_.get());
  phase_ = Phase::Handshake;
  SetDeadline(shared_->limits.handshakeTimeout);
  Handshake();
}

// ---- deadlines and waiting -------------------------------------------------------------

void ServiceConnection::SetDeadline(std::chrono::milliseconds timeout) {
  timer_.expires_after(timeout);
  timer_.async_wait([self = shared_from_this()](error_code error) {
    // A wait that completed just before the deadline moved on is not an expiry.
    if (!error && self->timer_.expiry() <= Clock::now()) self->OnDeadline();
  });
}

void ServiceConnection::OnDeadline() {
  if (phase_ == Phase::Sending && Clock::now() - lastProgress_ < shared_->limits.sendTimeout) {
    // Bytes went out since the deadline was set: it counts from the last of them.
    timer_.expires_at(lastProgress_ + shared_->limits.sendTimeout);
    timer_.async_wait([self = shared_from_this()](error_code error) {
      if (!error && self->timer_.expiry() <= Clock::now()) self->OnDeadline();
    });
    return;
  }
  auto& metrics = shared_->metrics;
  switch (phase_) {
    case Phase::Handshake:
      metrics.CountLimit(LimitHit::HandshakeTimeout);
      metrics.CountHandshakeFailure();
      break;
    case Phase::Idle:
      metrics.CountLimit(LimitHit::IdleTimeout);
      break;
    case Phase::Header:
      // Slow or incomplete headers: nothing is answered to such a client.
      metrics.CountLimit(LimitHit::HeaderTimeout);
      LogRequest(408, 0);
      break;
    case Phase::Sending:
      metrics.CountLimit(LimitHit::SendTimeout);
      return Cut(CutReason::TimeOut);
    default:
      break;
  }
  Close();
}

void ServiceConnection::WaitFor(tcp::socket::wait_type direction, Step next) {
  socket_.async_wait(direction, [self = shared_from_this(), next](error_code error) {
    if (self->phase_ == Phase::Closed) return;
    if (error) return self->Close();
    (self.get()->*next)();
  });
}

// After an SSL call that did not succeed: waits for what it needs, or reports false.
bool ServiceConnection::WaitForTls(int result, Step next) {
  switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ:
      WaitFor(tcp::socket::wait_read, next);
      return true;
    case SSL_ERROR_WANT_WRITE:
      WaitFor(tcp::socket::wait_write, next);
      return true;
    default:
      ERR_clear_error();  // the queue is per thread and would mislead the next connection here
      return false;
  }
}

// ---- steps -------------------------------------------------------------------------------

void ServiceConnection::Handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  if (result == 1) return AwaitRequest();
  if (WaitForTls(result, &ServiceConnection::Handshake)) return;
  shared_->metrics.CountHandshakeFailure();
  Close();
}

void ServiceConnection::AwaitRequest() {
  phase_ = Phase::Idle;
  parser_.reset();
  if (shared_->stopping) return Close();
  if (!input_.empty() || SSL_has_pending(ssl_.get())) return BeginRequest();
  std::string().swap(input_);  // an idle connection holds no buffer
  SetDeadline(shared_->limits.idleTimeout);
  WaitFor(tcp::socket::wait_read, &ServiceConnection::OnIdleReadable);
}

// A readiness wait may end without anything to read (another thread took the event that woke
// it); only bytes, or the end of the stream, start a request's clock.
void ServiceConnection::OnIdleReadable() {
  char byte = 0;
  const ssize_t got = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return WaitFor(tcp::socket::wait_read, &ServiceConnection::OnIdleReadable);
  }
  BeginRequest();
}

void ServiceConnection::BeginRequest() {
  phase_ = Phase::Header;
  requestStart_ = Clock::now();
  method_.clear();
  target_.clear();
  agent_.clear();
  status_ = 0;
  bodySent_ = 0;
  settleWaits_ = 0;
  SetDeadline(shared_->limits.headerTimeout);
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(shared_->limits.maxHeaderBytes));
  parser_->eager(false);
  ReadHeader();
}

void ServiceConnection::ReadHeader() {
  while (true) {
    if (!input_.empty()) {
      error_code error;
      const std::size_t used = parser_->put(asio::buffer(input_), error);
      if (error && error != http::error::need_more) {
        // What came of the request line, for the log: the method field stays "-".
        target_ = input_.substr(0, std::min(input_.find("\r\n"), std::size_t{256}));
      }
      if (error == http::error::header_limit) {
        shared_->metrics.CountLimit(LimitHit::HeaderSize);
        return Refuse(http::status::request_header_fields_too_large, "request line and headers too long");
      }
      if (error && error != http::error::need_more) return Refuse(http::status::bad_request, "malformed request");
      input_.erase(0, used);
      if (parser_->is_header_done()) return Respond();
    }
    const std::size_t before = input_.size();
    input_.resize(before + kReadChunk);
    std::size_t got = 0;
    ERR_clear_error();
    const int result = SSL_read_ex(ssl_.get(), input_.data() + before, kReadChunk, &got);
    input_.resize(before + got);
    if (result == 1) continue;
    if (WaitForTls(result, &ServiceConnection::ReadHeader)) return;
    // The client closed or broke the connection before a whole request arrived.
    return Close();
  }
}

void ServiceConnection::Refuse(http::status status, const std::string& text) {
  Reply reply = TextReply(status, text);
  reply.close = true;
  StartReply(std::move(reply), false, 11);
}

void ServiceConnection::Respond() {
  const auto& request = parser_->get();
  method_ = std::string(request.method_string());
  target_ = std::string(request.target());
  // At most as much as a log line should carry of a text the client chose.
  agent_ = std::string(request[http::field::user_agent].substr(0, 200));
  // A body would be a second stream inside this one: a proxy in front might read it as the next
  // request. Refusing and closing leaves nothing to disagree about.
  const auto length = parser_->content_length();
  const bool body = parser_->chunked() || request.count(http::field::transfer_encoding) > 0 || (length && *length > 0);
  Reply reply;
  if (body) {
    reply = TextReply(http::status::bad_request, "requests to this service carry no body");
    reply.close = true;
    shared_->metrics.CountLimit(LimitHit::RequestBody);
  } else {
    reply = shared_->service.Answer(request);
    if (reply.head.result() == http::status::method_not_allowed) shared_->metrics.CountLimit(LimitHit::Method);
    if (reply.file) {
      if (const auto wait = SettleLeft(reply.version); wait.count() > 0) {
        if (settleWaits_ < kSettleWaits) {
          // Asked again afterwards, by name: a release renamed into place meanwhile is the answer.
          ++settleWaits_;
          timer_.expires_after(wait);
          timer_.async_wait([self = shared_from_this()](error_code error) {
            if (!error && self->phase_ == Phase::Header) self->Respond();
          });
          return;
        }
        reply = TextReply(http::status::service_unavailable, "the file is being written; try again shortly");
        reply.head.set(http::field::retry_after, "1");
      }
    }
    if (!request.keep_alive()) reply.close = true;
  }
  StartReply(std::move(reply), request.method() == http::verb::head, request.version());
}

void ServiceConnection::StartReply(Reply reply, bool headOnly, unsigned requestVersion) {
  keepAlive_ = !reply.close && !shared_->stopping;
  status_ = static_cast<int>(reply.head.result_int());
  reply.head.version(11);
  reply.head.set(http::field::date, HttpDate(std::time(nullptr)));
  if (!keepAlive_) {
    reply.head.set(http::field::connection, "close");
  } else if (requestVersion < 11) {
    reply.head.set(http::field::connection, "keep-alive");
  }
  std::ostringstream head;
  head << reply.head;
  output_ = head.str();
  headerBytes_ = output_.size();
  if (!headOnly && !reply.file) output_ += reply.body;
  written_ = 0;
  outputSent_ = 0;
  sinceYield_ = 0;
  fileNext_ = reply.offset;
  fileLeft_ = headOnly || !reply.file ? 0 : reply.length;
  reply_ = std::move(reply);
  phase_ = Phase::Sending;
  lastProgress_ = Clock::now();
  SetDeadline(shared_->limits.sendTimeout);
  Send();
}

void ServiceConnection::Send() {
  while (true) {
    if (outputSent_ == output_.size()) {
      if (fileLeft_ == 0) return FinishReply();
      const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kFileBlock, fileLeft_));
      output_.resize(wanted);
      const ssize_t got = ::pread(reply_.file.Get(), output_.data(), wanted, static_cast<off_t>(fileNext_));
      // The file shrank or failed under us: ending the connection tells the client the body
      // is incomplete, where padding would hand it wrong bytes.
      if (got < 0) return Cut(CutReason::ReadError);
      if (got == 0) return Cut(CutReason::FileChanged);
      // Written in place since the answer began: what went out may already mix two versions, and
      // a whole body of them must never look complete. Checked after each read, so also after
      // the last one and before its bytes go out; a write updates the times before its data.
      if (VersionOf(reply_.file.Get()) != reply_.version) return Cut(CutReason::FileChanged);
      output_.resize(static_cast<std::size_t>(got));
      outputSent_ = 0;
      fileNext_ += static_cast<std::uint64_t>(got);
      fileLeft_ -= static_cast<std::uint64_t>(got);
    }
    if (sinceYield_ >= kFairShare) {
      sinceYield_ = 0;
      asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (self->phase_ == Phase::Sending) self->Send();
      });
      return;
    }
    std::size_t done = 0;
    ERR_clear_error();
    const int result = SSL_write_ex(ssl_.get(), output_.data() + outputSent_, output_.size() - outputSent_, &done);
    if (result == 1) {
      outputSent_ += done;
      written_ += done;
      lastProgress_ = Clock::now();
      sinceYield_ += done;
      const std::uint64_t body = written_ > headerBytes_ ? written_ - headerBytes_ : 0;
      if (body > bodySent_) shared_->metrics.CountBodyBytes(body - bodySent_);
      bodySent_ = body;
      continue;
    }
    if (WaitForTls(result, &ServiceConnection::Send)) return;
    return Cut(CutReason::ClientGone);
  }
}

void ServiceConnection::FinishReply() {
  LogRequest(status_, bodySent_);
  reply_ = Reply();
  std::string().swap(output_);
  if (keepAlive_ && !shared_->stopping) return AwaitRequest();
  Linger();
}

// Ends the TLS session and the sending side, then drops what the client still sends for a short
// while, so that the answer is not lost to a reset caused by unread data.
void ServiceConnection::Linger() {
  phase_ = Phase::Lingering;
  ERR_clear_error();
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
  ::shutdown(socket_.native_handle(), SHUT_WR);
  lingered_ = 0;
  SetDeadline(kLingerTime);
  Drain();
}

void ServiceConnection::Drain() {
  std::array<char, 4096> sink{};
  while (true) {
    const ssize_t got = ::recv(socket_.native_handle(), sink.data(), sink.size(), MSG_DONTWAIT);
    if (got > 0) {
      lingered_ += static_cast<std::uint64_t>(got);
      if (lingered_ > kLingerBytes) return Close();
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return WaitFor(tcp::socket::wait_read, &ServiceConnection::Drain);
    }
    return Close();
  }
}

void ServiceConnection::Close() {
  if (phase_ == Phase::Closed) return;
  phase_ = Phase::Closed;
  error_code ignored;
  timer_.cancel();
  socket_.close(ignored);
  reply_ = Reply();
  std::string().swap(output_);
  std::string().swap(input_);
  parser_.reset();
}

void ServiceConnection::Cut(CutReason reason) {
  LogRequest(status_, bodySent_, reason);
  Close();
}

void ServiceConnection::LogRequest(int status, std::uint64_t bytes, CutReason cut) {
  shared_->metrics.CountRequest(method_, status);
  if (cut != CutReason::None) shared_->metrics.CountCut(cut);
  AccessLogEntry entry;
  entry.remote = remote_;
  entry.method = method_;
  entry.target = target_;
  entry.status = status;
  entry.bytes = bytes;
  entry.user = reply_.user;
  entry.file = reply_.fileName;
  entry.seconds = std::chrono::duration<double>(Clock::now() - requestStart_).count();
  entry.agent = agent_;
  entry.cut = std::string(CutReasonName(cut));
  shared_->log.Write(entry);
}


}  // namespace quorvex::service
