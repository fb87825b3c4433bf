#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <stdexcept>
#include <string>

namespace quorvex::service {

// Opens, binds and listens on an acceptor, or throws with the address and what it was for, so
// the service refuses to start rather than run without one of its listeners.
inline void ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const boost::asio::ip::tcp::endpoint& listen,
                     const std::string& purpose) {
  boost::system::error_code error;
  acceptor.open(listen.protocol(), error);
  if (!error) acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(listen, error);
  if (!error) acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) {
    throw std::runtime_error("cannot listen " + purpose + "on " + listen.address().to_string() + ":" +
                             std::to_string(listen.port()) + ": " + error.message());
  }
}

}  // namespace quorvex::service
