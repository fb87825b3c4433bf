#pragma once
// The one account the service admits.

#include <string>
#include <string_view>

namespace quorvex::service {

class ServiceAccount {
 public:
  ServiceAccount(std::string user, std::string password);

  // Compares both the user name and the password in time that depends on neither the stored
  // nor the offered values (their lengths included), so timing reveals nothing of the account.
  bool Admits(std::string_view user, std::string_view password) const;

  const std::string& User() const { return user_; }

 private:
  std::string user_;
  std::string password_;
};

}  // namespace quorvex::service
