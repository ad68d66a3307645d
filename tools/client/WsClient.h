// A blocking websocket client: connect, send a text message, wait for the next message.
// The operator client and the end-to-end tests use it to speak to the program.
#pragma once

#include <memory>
#include <string>

namespace vb {
namespace tools {

class WsClient {
 public:
  WsClient();
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  // Opens ws://host:port/ (with an Origin header when origin is not empty).
  // Returns false and a one-line reason when the connection is not open within timeout_s.
  bool connect(const std::string& host, int port, double timeout_s, std::string* error,
               const std::string& origin = "");
  bool send(const std::string& text);
  // Waits for the next received message (messages are queued in arrival order).
  bool next(std::string* message, double timeout_s);
  // send() then next(): the protocol answers every well-formed request with one message.
  bool request(const std::string& text, std::string* reply, double timeout_s);
  bool isOpen() const;
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tools
}  // namespace vb
