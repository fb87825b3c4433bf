#include "MetricsServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <chrono>
#include <stdexcept>
#include <utility>

#include "Listener.h"

namespace quorvex::service {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::chrono::seconds kDeadline{10};
constexpr std::size_t kMaxOpen = 32;
constexpr std::uint32_t kHeaderLimit = 8 * 1024;

class MetricsExchange : public std::enable_shared_from_this<MetricsExchange> {
 public:
  MetricsExchange(tcp::socket socket, std::shared_ptr<const MetricsSource> source,
                  std::shared_ptr<std::atomic<std::size_t>> open)
      : stream_(std::move(socket)), source_(std::move(source)), open_(std::move(open)) {}
  ~MetricsExchange() { open_->fetch_sub(1); }

  void Start() {
    parser_.header_limit(kHeaderLimit);
    parser_.body_limit(0);
    stream_.expires_after(kDeadline);
    http::async_read(stream_, buffer_, parser_, [self = shared_from_this()](error_code error, std::size_t) {
      self->OnRead(error);
    });
  }

 private:
  void OnRead(error_code error) {
    if (error) return Close();
    const auto& request = parser_.get();
    const std::string_view path = request.target().substr(0, request.target().find('?'));
    response_.version(11);
    response_.keep_alive(false);
    response_.set(http::field::content_type, "text/plain; charset=utf-8");
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      response_.result(http::status::method_not_allowed);
      response_.set(http::field::allow, "GET, HEAD");
      response_.body() = "only GET and HEAD\n";
    } else if (path == "/metrics") {
      response_.result(http::status::ok);
      response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      response_.body() = source_->metrics();
    } else if (path == "/healthz") {
      const bool healthy = source_->healthy();
      response_.result(healthy ? http::status::ok : http::status::service_unavailable);
      response_.body() = healthy ? "ok\n" : "stopping\n";
    } else {
      response_.result(http::status::not_found);
      response_.body() = "not found\n";
    }
    response_.prepare_payload();
    if (request.method() == http::verb::head) response_.body().clear();
    // prepare_payload has set the length of the body a GET would get; a HEAD keeps it.
    http::async_write(stream_, response_, [self = shared_from_this()](error_code, std::size_t) { self->Close(); });
  }

  void Close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{kHeaderLimit};
  http::request_parser<http::empty_body> parser_;
  http::response<http::string_body> response_;
  std::shared_ptr<const MetricsSource> source_;
  std::shared_ptr<std::atomic<std::size_t>> open_;
};

}  // namespace

MetricsServer::MetricsServer(asio::io_context& io, const tcp::endpoint& listen, MetricsSource source)
    : io_(io),
      strand_(asio::make_strand(io)),
      acceptor_(strand_),
      retry_(strand_),
      source_(std::make_shared<const MetricsSource>(std::move(source))),
      open_(std::make_shared<std::atomic<std::size_t>>(0)) {
  ListenOn(acceptor_, listen, "for metrics ");
  port_ = acceptor_.local_endpoint().port();
}

void MetricsServer::Start() {
  asio::dispatch(strand_, [this] { Accept(); });
}

void MetricsServer::Stop() {
  asio::dispatch(strand_, [this] {
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  });
}

void MetricsServer::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors or memory: try again shortly instead of spinning on the error.
      retry_.expires_after(std::chrono::milliseconds(100));
      retry_.async_wait([this](error_code waited) {
        if (!waited && acceptor_.is_open()) Accept();
      });
      return;
    }
    {
      // More than a few scrapers at once is not a scraper: those are closed at once.
      if (open_->fetch_add(1) >= kMaxOpen) {
        open_->fetch_sub(1);
        error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<MetricsExchange>(std::move(socket), source_, open_)->Start();
      }
    }
    Accept();
  });
}

}  // namespace quorvex::service
