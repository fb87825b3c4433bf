#include "download/RESTClient.h"

#include <algorithm>

#include "download/HttpText.h"
#include "download/Url.h"

namespace quorvex {

RESTClient::RESTClient(Transport& transport, CookieJar::Clock clock)
    : transport_(transport), cookies_(std::move(clock)) {}

void RESTClient::SetBaseURL(std::string_view url) { baseUrl_ = NormalizeEndpointText(url); }

void RESTClient::AddHeader(std::string name, std::string value) {
  headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                [&](const HttpHeader& header) { return EqualsIgnoreCase(header.name, name); }),
                 headers_.end());
  headers_.push_back({std::move(name), std::move(value)});
}

}  // namespace quorvex
