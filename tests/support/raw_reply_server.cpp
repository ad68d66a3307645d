#include "raw_reply_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TTransportException.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vb::test {

namespace {

constexpr int kPollMs = 20;  // how often the server thread looks at the stop flag

bool sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void WireBytes::put(uint64_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
    bytes_.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

WireBytes& WireBytes::message(const std::string& name, int8_t messageType, int32_t seqid) {
  put(0x80010000u | static_cast<uint8_t>(messageType), 4);
  str(name);
  return i32(seqid);
}

WireBytes& WireBytes::field(int8_t type, int16_t id) {
  i8(type);
  return i16(id);
}

WireBytes& WireBytes::stop() { return i8(0); }
WireBytes& WireBytes::boolean(bool value) { return i8(value ? 1 : 0); }

WireBytes& WireBytes::i8(int8_t value) {
  put(static_cast<uint8_t>(value), 1);
  return *this;
}

WireBytes& WireBytes::i16(int16_t value) {
  put(static_cast<uint16_t>(value), 2);
  return *this;
}

WireBytes& WireBytes::i32(int32_t value) {
  put(static_cast<uint32_t>(value), 4);
  return *this;
}

WireBytes& WireBytes::i64(int64_t value) {
  put(static_cast<uint64_t>(value), 8);
  return *this;
}

WireBytes& WireBytes::dbl(double value) {
  uint64_t bits = 0;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  put(bits, 8);
  return *this;
}

WireBytes& WireBytes::str(const std::string& value) {
  i32(static_cast<int32_t>(value.size()));
  bytes_ += value;
  return *this;
}

WireBytes& WireBytes::list(int8_t elemType, int32_t count) {
  i8(elemType);
  return i32(count);
}

WireBytes& WireBytes::map(int8_t keyType, int8_t valueType, int32_t count) {
  i8(keyType);
  i8(valueType);
  return i32(count);
}

WireBytes& WireBytes::raw(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

RawReplyServer::RawReplyServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("raw server: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("raw server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

RawReplyServer::~RawReplyServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

void RawReplyServer::pushReply(std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(std::move(bytes));
}

size_t RawReplyServer::pendingReplies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_.size();
}

std::vector<RawRequest> RawReplyServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool RawReplyServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void RawReplyServer::run() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    serve(fd);
    ::close(fd);
  }
}

void RawReplyServer::serve(int fd) {
  std::string buffer;
  char chunk[4096];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client closed the connection
    buffer.append(chunk, static_cast<size_t>(n));
    for (;;) {
      RawRequest request;
      try {
        if (!takeRequest(buffer, request)) break;
      } catch (const std::exception&) {
        return;  // garbage from the client: drop the connection
      }
      std::string reply;
      bool haveReply = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(std::move(request));
        if (!replies_.empty()) {
          reply = std::move(replies_.front());
          replies_.pop_front();
          haveReply = true;
        }
      }
      changed_.notify_all();
      if (!haveReply || !sendAll(fd, reply)) return;
    }
  }
}

bool RawReplyServer::takeRequest(std::string& buffer, RawRequest& request) {
  using apache::thrift::protocol::TBinaryProtocol;
  using apache::thrift::protocol::TMessageType;
  using apache::thrift::transport::TMemoryBuffer;
  using apache::thrift::transport::TTransportException;

  // The library's own reader decides where the message ends; running out of bytes means the
  // rest has not arrived yet.
  std::vector<uint8_t> copy(buffer.begin(), buffer.end());
  auto memory = std::make_shared<TMemoryBuffer>(copy.data(), static_cast<uint32_t>(copy.size()),
                                                TMemoryBuffer::OBSERVE);
  TBinaryProtocol protocol(memory);
  TMessageType type;
  size_t headerSize = 0;
  try {
    protocol.readMessageBegin(request.name, type, request.seqid);
    headerSize = copy.size() - memory->available_read();
    protocol.skip(apache::thrift::protocol::T_STRUCT);
    protocol.readMessageEnd();
  } catch (const TTransportException& e) {
    if (e.getType() == TTransportException::END_OF_FILE) return false;
    throw;
  }
  size_t total = copy.size() - memory->available_read();
  request.messageType = type;
  request.bytes = buffer.substr(0, total);
  request.body = buffer.substr(headerSize, total - headerSize);
  buffer.erase(0, total);
  return true;
}

}  // namespace vb::test
