// The client stack the SDK uses (TSocket, TBufferedTransport, TBinaryProtocol) around the
// generated RPCRobotClient, connected to a test server on 127.0.0.1.
#pragma once

#include <RPCRobot.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <cstdint>
#include <memory>

namespace vb::test {

struct RpcConnection {
  explicit RpcConnection(uint16_t port)
      : socket(std::make_shared<apache::thrift::transport::TSocket>("127.0.0.1", port)),
        transport(std::make_shared<apache::thrift::transport::TBufferedTransport>(socket)),
        protocol(std::make_shared<apache::thrift::protocol::TBinaryProtocol>(transport)),
        client(protocol) {
    // A broken reply must fail the test, not hang it.
    socket->setRecvTimeout(5000);
    transport->open();
  }
  ~RpcConnection() { transport->close(); }

  std::shared_ptr<apache::thrift::transport::TSocket> socket;
  std::shared_ptr<apache::thrift::transport::TBufferedTransport> transport;
  std::shared_ptr<apache::thrift::protocol::TBinaryProtocol> protocol;
  RPCRobotClient client;
};

}  // namespace vb::test
