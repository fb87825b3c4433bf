#pragma once
// The download endpoint: GET <base path>/files/download, the file named by the request headers
// "x-database" (storage area) and "x-filename" (relative name), for the one service account.

#include <httplib.h>

#include <mutex>
#include <ostream>
#include <string>

#include "ServiceAccount.h"
#include "StorageFiles.h"

namespace quorvex::service {

class DownloadService {
 public:
  // basePath: "/admin" style; a trailing "/" is ignored and "" or "/" mean the server root.
  // accessLog receives one line per request, flushed at once.
  DownloadService(StorageRoot storage, ServiceAccount account, std::string basePath, std::ostream& accessLog);

  // Registers the endpoint and the access log on the server; the service must outlive it.
  void Attach(httplib::Server& server);

  const std::string& EndpointPath() const { return endpoint_; }

 private:
  void HandleDownload(const httplib::Request& request, httplib::Response& response) const;
  void LogRequest(const httplib::Request& request, const httplib::Response& response);

  StorageRoot storage_;
  ServiceAccount account_;
  std::string endpoint_;
  std::ostream& accessLog_;
  std::mutex logMutex_;
};

// The base path as the endpoint prefix: leading "/", no trailing "/". Throws std::invalid_argument
// for a path that does not start with "/" or holds characters a request path cannot carry as is.
std::string NormalizeBasePath(const std::string& basePath);

}  // namespace quorvex::service
