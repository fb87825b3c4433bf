#include "download/HTTPBasicAuthenticator.h"

#include "download/HeaderValue.h"

namespace quorvex {

std::string HTTPBasicAuthenticator::AuthorizationValue() const {
  return "Basic " + EncodeBase64(username_ + ":" + password_);
}

}  // namespace quorvex
