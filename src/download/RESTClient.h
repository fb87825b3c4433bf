#pragma once
// The client side of REST requests: base URL, request defaults, custom headers kept between
// requests, the authenticator, the cookies of every response, and the progress handler that
// each request copies when it is created.

#include <string>
#include <string_view>
#include <vector>

#include "download/CookieJar.h"
#include "download/RestTypes.h"
#include "download/Transport.h"

namespace quorvex {

class HTTPBasicAuthenticator;

class RESTClient {
 public:
  // The transport must outlive the client.
  explicit RESTClient(Transport& transport, CookieJar::Clock clock = {});
  RESTClient(const RESTClient&) = delete;
  RESTClient& operator=(const RESTClient&) = delete;

  // Stored as requested: trimmed, "http://" put in front when it names no scheme, one
  // trailing "/" removed.
  void SetBaseURL(std::string_view url);
  const std::string& BaseURL() const { return baseUrl_; }

  // Not owned; null sends no Authorization.
  void SetAuthenticator(HTTPBasicAuthenticator* authenticator) { authenticator_ = authenticator; }
  HTTPBasicAuthenticator* Authenticator() const { return authenticator_; }

  void SetContentType(std::string contentType) { contentType_ = std::move(contentType); }
  const std::string& ContentType() const { return contentType_; }
  const std::string& Accept() const { return accept_; }
  const std::string& AcceptCharset() const { return acceptCharset_; }
  const std::string& UserAgent() const { return userAgent_; }
  void SetUserAgent(std::string userAgent) { userAgent_ = std::move(userAgent); }

  void SetConnectTimeout(int milliseconds) { connectTimeoutMs_ = milliseconds; }
  int ConnectTimeout() const { return connectTimeoutMs_; }
  void SetReadTimeout(int milliseconds) { readTimeoutMs_ = milliseconds; }
  int ReadTimeout() const { return readTimeoutMs_; }

  // Sets a custom header sent with every request: one the client already holds (same name,
  // without regard to case) is removed and the new one appended.
  void AddHeader(std::string name, std::string value);
  // Custom headers in sending order, names and values as set (before wire encoding).
  const std::vector<HttpHeader>& Headers() const { return headers_; }

  void SetOnReceiveData(ProgressHandler handler) { onReceiveData_ = std::move(handler); }
  const ProgressHandler& OnReceiveData() const { return onReceiveData_; }

  CookieJar& Cookies() { return cookies_; }
  Transport& HttpTransport() { return transport_; }

 private:
  Transport& transport_;
  std::string baseUrl_;
  HTTPBasicAuthenticator* authenticator_ = nullptr;
  std::string contentType_;
  std::string accept_ = "application/json, text/plain; q=0.9, text/html;q=0.8,";
  std::string acceptCharset_ = "utf-8, *;q=0.8";
  std::string userAgent_ = "QuorvexInstall RESTClient/1.0";
  int connectTimeoutMs_ = kConnectTimeoutMs;
  int readTimeoutMs_ = kReadTimeoutMs;
  std::vector<HttpHeader> headers_;
  ProgressHandler onReceiveData_;
  CookieJar cookies_;
};

}  // namespace quorvex
