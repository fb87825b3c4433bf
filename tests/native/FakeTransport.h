#pragma once
// A scripted transport for the tests of the download client and of the installation run:
// answers each Send with the next scripted response, records every request, and hands out
// bodies in the scripted blocks.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "download/Transport.h"

namespace quorvex::testing {

struct ScriptedResponse {
  int status = 200;
  std::string reason = "OK";
  std::string protocol = "HTTP/1.1";
  std::vector<HttpHeader> headers;
  std::vector<std::string> blocks;
  std::function<void()> failSend;  // called by Send instead of answering; throws
  std::function<void()> failRead;  // called by ReadBlock once the blocks are used up; throws
  bool fromProxy = false;          // the proxy's answer rather than the server's
};

// A failure hook that throws this exception.
template <typename Exception>
std::function<void()> Throwing(Exception exception) {
  return [exception] { throw exception; };
}

// What the client's body vector looked like when the transport appended to it.
struct BodyObservation {
  std::size_t capacityAtFirstBlock = 0;
  const std::uint8_t* dataAfterLastBlock = nullptr;
  std::size_t blocksRead = 0;
};

class FakeTransport : public Transport {
 public:
  // Each returns the scripted response, which a test may still change before it is sent.
  ScriptedResponse& Answer(ScriptedResponse response) { return script_.emplace_back(std::move(response)); }
  // A response with a body in blocks, announcing its length unless told otherwise.
  ScriptedResponse& AnswerBody(int status, std::string reason, std::vector<std::string> blocks,
                               bool announceLength = true,
                               std::vector<HttpHeader> headers = {{"Content-Type", "application/octet-stream"}}) {
    ScriptedResponse response;
    response.status = status;
    response.reason = std::move(reason);
    response.headers = std::move(headers);
    if (announceLength) {
      std::size_t length = 0;
      for (const std::string& block : blocks) length += block.size();
      response.headers.push_back({"Content-Length", std::to_string(length)});
    }
    response.blocks = std::move(blocks);
    return Answer(std::move(response));
  }
  ScriptedResponse& AnswerRedirect(int status, std::string location, std::vector<HttpHeader> extra = {}) {
    ScriptedResponse response;
    response.status = status;
    response.reason = "Redirect";
    response.headers = std::move(extra);
    response.headers.push_back({"Location", std::move(location)});
    return Answer(std::move(response));
  }

  // Called with every request as it is sent, before it is answered; may throw.
  std::function<void(const TransportRequest&)> onSend;

  const std::vector<TransportRequest>& Sent() const { return sent_; }
  std::size_t Pending() const { return script_.size(); }
  const BodyObservation& LastBody() const { return observation_; }

  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override {
    sent_.push_back(request);
    if (onSend) onSend(request);
    if (script_.empty()) {
      throw PlatformFailure(DownloadFailure::kSending, 12029, "A connection with the server could not be established");
    }
    ScriptedResponse response = std::move(script_.front());
    script_.pop_front();
    if (response.failSend) response.failSend();
    observation_ = {};
    return std::make_unique<Exchange>(std::move(response), observation_);
  }

 private:
  class Exchange : public HttpExchange {
   public:
    Exchange(ScriptedResponse response, BodyObservation& observation)
        : response_(std::move(response)), observation_(observation) {
      head_.protocol = response_.protocol;
      head_.status = response_.status;
      head_.reason = response_.reason;
      head_.headers = response_.headers;
      head_.fromProxy = response_.fromProxy;
    }
    const TransportResponseHead& Head() const override { return head_; }
    std::size_t ReadBlock(std::vector<std::uint8_t>& body) override {
      if (next_ == response_.blocks.size()) {
        if (response_.failRead) response_.failRead();
        return 0;
      }
      if (observation_.blocksRead == 0) observation_.capacityAtFirstBlock = body.capacity();
      const std::string& block = response_.blocks[next_++];
      // The client relies on the transport's limit to know when the body may move.
      if (block.size() > kMaxBodyBlock) throw std::logic_error("a scripted block is larger than kMaxBodyBlock");
      body.insert(body.end(), block.begin(), block.end());
      ++observation_.blocksRead;
      observation_.dataAfterLastBlock = body.data();
      return block.size();
    }

   private:
    ScriptedResponse response_;
    TransportResponseHead head_;
    std::size_t next_ = 0;
    BodyObservation& observation_;
  };

  std::deque<ScriptedResponse> script_;
  std::vector<TransportRequest> sent_;
  BodyObservation observation_;
};

}  // namespace quorvex::testing
