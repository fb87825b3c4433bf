#pragma once
// The installer's download client: the package request to the download service, with its
// fixed account and headers. It lives as long as its owner (the installer window).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadError.h"
#include "download/RestTypes.h"
#include "download/Transport.h"

namespace quorvex {

class RESTClient;
class RunLog;
class HTTPBasicAuthenticator;
class RESTRequest;
class RESTResponse;

struct DownloadResult {
  int status = 0;
  std::vector<std::uint8_t> body;
};

class DownloadClient {
 public:
  // apiBase: the service's API base address, e.g. "https://host:8443/admin". The transport
  // must outlive the client.
  DownloadClient(Transport& transport, std::string apiBase);
  ~DownloadClient();
  DownloadClient(const DownloadClient&) = delete;
  DownloadClient& operator=(const DownloadClient&) = delete;

  // Registered once; every request the client sends reports its progress to it.
  void SetProgressHandler(ProgressHandler handler);
  // Names the installer in the User-Agent before its fixed ending, "QuorvexInstall/2.4.0.0
  // RESTClient/1.0", so that the service's log lines and the installer's can be matched.
  void SetInstallerIdentity(const std::string& product);
  // Where each exchange is recorded for support; null: nowhere. Must outlive the client's use.
  void SetRunLog(RunLog* log);

  // Fetches "updates\<packageFileName>" from the service. Returns the final response's status
  // (2xx, or 300-499 which are not failures) and its body, moved out of the response. Throws
  // DownloadError on a transport failure, a status of 500 or more, a redirect beyond the
  // limit or to a non-https location, a short body, or a body that must be text and is not.
  // observer, when given, sees the package's body while it arrives.
  DownloadResult DownloadPackage(const std::string& packageFileName, BodyObserver* observer = nullptr);

 private:
  std::string apiBase_;
  std::unique_ptr<RESTClient> client_;
  std::unique_ptr<HTTPBasicAuthenticator> authenticator_;
  std::unique_ptr<RESTResponse> response_;
  std::unique_ptr<RESTRequest> request_;
};

}  // namespace quorvex
