#include "WsClient.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

namespace vb {
namespace tools {

using Client = websocketpp::client<websocketpp::config::asio_client>;

struct WsClient::Impl {
  Client client;
  websocketpp::connection_hdl hdl;
  std::thread loop;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> inbox;
  bool open = false;
  bool ended = false;  // failed or closed
  std::string failure;
};

WsClient::WsClient() : impl_(new Impl) {
  Client& c = impl_->client;
  c.clear_access_channels(websocketpp::log::alevel::all);
  c.clear_error_channels(websocketpp::log::elevel::all);
  c.init_asio();
  Impl* impl = impl_.get();
  c.set_open_handler([impl](websocketpp::connection_hdl) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->open = true;
    impl->changed.notify_all();
  });
  auto ended = [impl](const std::string& why) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->open = false;
    impl->ended = true;
    if (impl->failure.empty()) impl->failure = why;
    impl->changed.notify_all();
  };
  c.set_fail_handler([impl, ended](websocketpp::connection_hdl h) {
    std::string why = "connection failed";
    std::error_code ec;
    auto con = impl->client.get_con_from_hdl(h, ec);
    if (!ec) {
      why += ": " + con->get_ec().message();
      if (con->get_response_code() != websocketpp::http::status_code::uninitialized)
        why += " (HTTP " + std::to_string(static_cast<int>(con->get_response_code())) + ")";
    }
    ended(why);
  });
  c.set_close_handler([ended](websocketpp::connection_hdl) { ended("connection closed"); });
  c.set_message_handler([impl](websocketpp::connection_hdl, Client::message_ptr msg) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->inbox.push_back(msg->get_payload());
    impl->changed.notify_all();
  });
}

WsClient::~WsClient() {
  close();
  impl_->client.stop();
  if (impl_->loop.joinable()) impl_->loop.join();
}

bool WsClient::connect(const std::string& host, int port, double timeout_s, std::string* error,
                       const std::string& origin) {
  std::error_code ec;
  auto con = impl_->client.get_connection("ws://" + host + ":" + std::to_string(port) + "/", ec);
  if (ec) {
    if (error) *error = ec.message();
    return false;
  }
  if (!origin.empty()) con->replace_header("Origin", origin);
  impl_->hdl = con->get_handle();
  impl_->client.connect(con);
  impl_->loop = std::thread([this] { impl_->client.run(); });
  std::unique_lock<std::mutex> lock(impl_->mutex);
  bool done = impl_->changed.wait_for(lock, std::chrono::duration<double>(timeout_s),
                                      [this] { return impl_->open || impl_->ended; });
  if (impl_->open) return true;
  if (error) *error = done ? impl_->failure : "timed out";
  return false;
}

bool WsClient::send(const std::string& text) {
  if (!isOpen()) return false;
  // Everything that touches the connection runs on the event loop's thread.
  Impl* impl = impl_.get();
  impl_->client.get_io_service().post([impl, text] {
    std::error_code ec;
    impl->client.send(impl->hdl, text, websocketpp::frame::opcode::text, ec);
  });
  return true;
}

bool WsClient::next(std::string* message, double timeout_s) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, std::chrono::duration<double>(timeout_s),
                          [this] { return !impl_->inbox.empty() || impl_->ended; });
  if (impl_->inbox.empty()) return false;
  *message = std::move(impl_->inbox.front());
  impl_->inbox.pop_front();
  return true;
}

bool WsClient::request(const std::string& text, std::string* reply, double timeout_s) {
  return send(text) && next(reply, timeout_s);
}

bool WsClient::isOpen() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->open;
}

void WsClient::close() {
  if (!isOpen()) return;
  Impl* impl = impl_.get();
  impl_->client.get_io_service().post([impl] {
    std::error_code ec;
    impl->client.close(impl->hdl, websocketpp::close::status::normal, "", ec);
  });
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, std::chrono::seconds(2), [this] { return impl_->ended; });
}

}  // namespace tools
}  // namespace vb
