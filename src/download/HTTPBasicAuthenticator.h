#pragma once
// HTTP basic authentication for the requests of a client.

#include <string>

namespace quorvex {

class HTTPBasicAuthenticator {
 public:
  void SetUsername(std::string username) { username_ = std::move(username); }
  void SetPassword(std::string password) { password_ = std::move(password); }
  // "Basic " and the Base64 of the UTF-8 bytes of user name, ":" and password, one line.
  std::string AuthorizationValue() const;

 private:
  std::string username_;
  std::string password_;
};

}  // namespace quorvex
