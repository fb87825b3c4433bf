#include "download/DownloadClient.h"

#include "download/HTTPBasicAuthenticator.h"
#include "download/HeaderValue.h"
#include "download/RESTClient.h"
#include "download/RESTRequest.h"
#include "download/RESTResponse.h"

namespace quorvex {
namespace {

constexpr char kUsername[] = "Tellavorne";
constexpr char kPassword[] = "&vOlt_582%";
constexpr char kEndpointSuffix[] = "/files/download";
constexpr char kContentType[] = "application/octet-stream";

}  // namespace

DownloadClient::DownloadClient(Transport& transport, std::string apiBase)
    : apiBase_(std::move(apiBase)),
      client_(std::make_unique<RESTClient>(transport)),
      authenticator_(std::make_unique<HTTPBasicAuthenticator>()),
      response_(std::make_unique<RESTResponse>()) {
  client_->SetConnectTimeout(kConnectTimeoutMs);
  client_->SetAuthenticator(authenticator_.get());
  request_ = std::make_unique<RESTRequest>(*client_, *response_);
}

DownloadClient::~DownloadClient() = default;

void DownloadClient::SetRunLog(RunLog* log) { request_->SetRunLog(log); }

void DownloadClient::SetInstallerIdentity(const std::string& product) {
  client_->SetUserAgent(product + " RESTClient/1.0");
}

void DownloadClient::SetProgressHandler(ProgressHandler handler) {
  client_->SetOnReceiveData(std::move(handler));
  // The request outlives this registration, so it takes its copy now.
  request_->SetOnReceiveData(client_->OnReceiveData());
}

DownloadResult DownloadClient::DownloadPackage(const std::string& packageFileName, BodyObserver* observer) {
  authenticator_->SetUsername(kUsername);
  authenticator_->SetPassword(kPassword);
  request_->SetReadTimeout(kReadTimeoutMs);
  client_->SetBaseURL(apiBase_ + kEndpointSuffix);
  client_->SetContentType(kContentType);
  client_->AddHeader("x-database", EncodeHeaderValue("server_files"));
  client_->AddHeader("x-filename", EncodeHeaderValue("updates\\" + packageFileName));
  request_->SetMethod("GET");
  request_->SetBodyObserver(observer);
  struct ObserverScope {  // the observer belongs to this call only
    RESTRequest& request;
    ~ObserverScope() { request.SetBodyObserver(nullptr); }
  } observerScope{*request_};
  request_->Execute();
  DownloadResult result;
  result.status = response_->StatusCode();
  result.body = response_->TakeRawBytes();
  return result;
}

}  // namespace quorvex
