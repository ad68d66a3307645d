// A fake controller that answers each RPC request with bytes the test wrote by hand, so that
// replies can be malformed in ways the generated server never produces. It also keeps every
// request exactly as it came off the socket.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vb::test {

// Thrift binary-protocol bytes, built field by field. Numbers are big-endian as on the wire;
// `message` writes the strict (versioned) header that the generated client writes and accepts.
class WireBytes {
 public:
  WireBytes& message(const std::string& name, int8_t messageType, int32_t seqid);
  WireBytes& field(int8_t type, int16_t id);
  WireBytes& stop();
  WireBytes& boolean(bool value);
  WireBytes& i8(int8_t value);
  WireBytes& i16(int16_t value);
  WireBytes& i32(int32_t value);
  WireBytes& i64(int64_t value);
  WireBytes& dbl(double value);
  WireBytes& str(const std::string& value);
  WireBytes& list(int8_t elemType, int32_t count);
  WireBytes& map(int8_t keyType, int8_t valueType, int32_t count);
  WireBytes& raw(const std::string& bytes);

  const std::string& bytes() const { return bytes_; }

 private:
  void put(uint64_t value, int width);
  std::string bytes_;
};

// One request as the server received it.
struct RawRequest {
  std::string name;
  int32_t messageType = 0;
  int32_t seqid = 0;
  std::string body;   // the argument struct, up to and including its field stop
  std::string bytes;  // the whole message
};

// Listens on 127.0.0.1 at a port the system picks, serves one connection at a time, and answers
// the requests in order with the queued replies. A request that finds no reply queued closes the
// connection, so a test that forgot a reply sees a transport failure rather than a hang.
class RawReplyServer {
 public:
  RawReplyServer();
  ~RawReplyServer();
  RawReplyServer(const RawReplyServer&) = delete;
  RawReplyServer& operator=(const RawReplyServer&) = delete;

  uint16_t port() const { return port_; }

  // Queues the bytes written back for the next request; any bytes at all, even no message.
  void pushReply(std::string bytes);
  size_t pendingReplies() const;

  std::vector<RawRequest> requests() const;
  // Waits until at least `count` requests have arrived or the deadline passes.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void run();
  void serve(int fd);
  // Takes one whole request off the front of `buffer`; false while it is still incomplete.
  // Throws on bytes that can never become a request.
  static bool takeRequest(std::string& buffer, RawRequest& request);

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<std::string> replies_;
  std::vector<RawRequest> requests_;
  std::thread thread_;
};

}  // namespace vb::test
