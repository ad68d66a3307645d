#include "fake_controller.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

#include <stdexcept>

namespace vb::test {

using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;

namespace {
constexpr int kPollMs = 20;  // how often the acceptor looks at the stop flag
}

FakeController::FakeController(std::shared_ptr<RecordingHandler> handler)
    : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 8) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("fake controller cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeController::~FakeController() {
  stop_.store(true);
  acceptor_.join();
  ::close(listenFd_);
  dropConnections();
  for (auto& connection : connections_) connection.join();
}

void FakeController::dropConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
}

void FakeController::acceptLoop() {
  while (!stop_.load()) {
    pollfd pfd{listenFd_, POLLIN, 0};
    if (::poll(&pfd, 1, kPollMs) <= 0) continue;
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    accepted_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    open_.insert(fd);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeController::serve(int fd) {
  auto socket = std::make_shared<TSocket>(fd);
  auto transport = std::make_shared<TBufferedTransport>(socket);
  auto protocol = std::make_shared<TBinaryProtocol>(transport);
  RPCRobotProcessor processor(handler_);
  try {
    while (processor.process(protocol, protocol, nullptr)) {
    }
  } catch (const TException&) {
    // The client went away or the connection was dropped.
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(fd);
  }
  socket->close();
}

}  // namespace vb::test
