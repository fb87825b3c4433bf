#pragma once
// One configurable request of a RESTClient, executed synchronously on the calling thread:
// follows redirects, keeps cookies, reports body progress and fills its RESTResponse.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadError.h"
#include "download/RestTypes.h"
#include "download/Transport.h"
#include "download/Url.h"

namespace quorvex {

class RunLog;

class RESTClient;
class RESTResponse;

class RESTRequest {
 public:
  static constexpr int kMaxRedirects = 5;

  // Copies the client's progress handler and read time-out. Client and response must outlive
  // the request.
  RESTRequest(RESTClient& client, RESTResponse& response);
  RESTRequest(const RESTRequest&) = delete;
  RESTRequest& operator=(const RESTRequest&) = delete;

  void SetMethod(std::string method) { method_ = std::move(method); }
  void SetReadTimeout(int milliseconds) { readTimeoutMs_ = milliseconds; }
  void SetOnReceiveData(ProgressHandler handler) { onReceiveData_ = std::move(handler); }
  // Sees the final response's body while it arrives; null: none. Must outlive its use.
  void SetBodyObserver(BodyObserver* observer) { bodyObserver_ = observer; }
  // Each exchange is recorded there (URL without secrets, route, status, lengths, time).
  void SetRunLog(RunLog* log) { runLog_ = log; }

  // Sends the request to the client's base URL and fills the response. A status of 500 or
  // more, and every transport, address, redirect, length and text failure, throws
  // DownloadError naming the URL being fetched; the response is then left empty.
  void Execute();

 private:
  TransportRequest Compose(const Url& url, const Url& authorizedOrigin) const;
  // A failure of the exchange with url_: "REST request failed: " and what went wrong.
  DownloadError Failure(DownloadFailure kind, const std::string& underlying) const;
  // The transport's failure as the request's: the same kind and code, with the prefix and URL.
  DownloadError PassOn(const DownloadError& transportFailure) const;
  void RefuseContentCoding(const TransportResponseHead& head) const;
  // Reads the whole body (or up to an abort, which sets aborted), reporting progress only for
  // statuses below 300.
  std::vector<std::uint8_t> ReadBody(HttpExchange& exchange, const TransportResponseHead& head,
                                     std::int64_t totalLength, bool& aborted) const;
  // Sends the request and follows redirects; returns whether the progress handler aborted.
  bool ExecuteExchanges();

  RESTClient& client_;
  RESTResponse& response_;
  std::string method_ = "GET";
  int readTimeoutMs_;
  ProgressHandler onReceiveData_;
  BodyObserver* bodyObserver_ = nullptr;
  RunLog* runLog_ = nullptr;
  // The exchange under way: the URL it fetches, and what of it failures and the log show.
  void SetUrl(std::string url);
  std::string url_;
  std::string shownUrl_;
};

}  // namespace quorvex
