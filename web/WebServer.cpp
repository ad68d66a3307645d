#include "WebServer.h"

#include <malloc.h>

#include <functional>
#include <string>

#include "Global.h"
#include "HttpResource.h"
#include "Output.h"

namespace vb {

std::mutex WebServer::_data_mutex;

WebServer::WebServer(unsigned short port) : _port(port), _origins(OriginRule::from_environment()) {}

WebServer::~WebServer() { stop(); }

void WebServer::run() {
  if (_thread) return;
  _thread = std::make_unique<std::thread>(&WebServer::start, this);
}

void WebServer::set_listen_result(unsigned short port) {
  {
    std::lock_guard<std::mutex> lock(_listen_mutex);
    if (_listen_done) return;
    _listen_done = true;
    _bound_port = port;
  }
  _listen_cv.notify_all();
}

unsigned short WebServer::listening_port() {
  std::unique_lock<std::mutex> lock(_listen_mutex);
  _listen_cv.wait(lock, [this] { return _listen_done; });
  return _bound_port;
}

void WebServer::stop() {
  if (!_thread) return;
  // The loop exists only once the web thread has listened; after a failed listen the thread
  // ends by itself.
  if (listening_port() != 0) _server.stop();
  if (_thread->joinable()) _thread->join();
}

void WebServer::start() {
  using std::placeholders::_1;
  using std::placeholders::_2;
  try {
    _server.clear_access_channels(websocketpp::log::alevel::all);
    // The library warns once per frame that arrives after a connection began to close, which a
    // client can repeat at will.
    _server.clear_error_channels(websocketpp::log::elevel::warn);
    // Every connection holds a descriptor and a slot of the cap until it is done, so one that
    // never finishes its request must not keep them for long.
    _server.set_open_handshake_timeout(kOpenTimeoutMs);
    _server.set_max_message_size(kMaxMessageBytes);
    _server.set_max_http_body_size(kMaxMessageBytes);
    _server.init_asio();
    _server.set_reuse_addr(true);
    // The accept loop is ours (accept_next), so it needs the listening socket.
    _server.set_tcp_pre_bind_handler([this](server::transport_type::acceptor_ptr acceptor) {
      _acceptor = std::move(acceptor);
      return websocketpp::lib::error_code();
    });

    _server.set_message_handler(std::bind(&WebServer::on_message, this, &_server, _1, _2));
    _server.set_http_handler(std::bind(&WebServer::on_http, this, &_server, _1));
    _server.set_fail_handler(std::bind(&WebServer::on_fail, this, &_server, _1));
    _server.set_close_handler(std::bind(&WebServer::on_close, this, &_server, _1));
    _server.set_validate_handler(std::bind(&WebServer::on_validate, this, &_server, _1));

    print_text("webserver start listen:" + std::to_string(_port) + "\n");
    _server.listen(websocketpp::lib::asio::ip::tcp::v4(), _port);
    accept_next();

    websocketpp::lib::asio::error_code ec;
    const auto local = _server.get_local_endpoint(ec);
    set_listen_result(ec ? 0 : local.port());

    _server.run();
  } catch (const websocketpp::exception& e) {
    print_text(std::string(e.what()) + "\n");
  } catch (const std::exception& e) {
    print_text(std::string(e.what()) + "\n");
  } catch (...) {
    print_text("other exception\n");
  }
  set_listen_result(0);
}

void WebServer::RareLine::print(const std::string& text) {
  const auto now = std::chrono::steady_clock::now();
  if (last && now - *last < std::chrono::minutes(1)) return;
  last = now;
  print_error(text);
}

namespace {

// Held by each accepted connection object for its whole life, so that the count is of the
// sockets really held, however the connection ends.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(int& count) : count_(count) { ++count_; }
  ~ConnectionSlot() { --count_; }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  int& count_;
};

}  // namespace

// The library's own accept loop retries a failed accept at once and reports each failure, so
// that running out of descriptors spins the web thread and floods the output; this one waits.
void WebServer::accept_next() {
  server::connection_ptr con = _server.get_connection();
  if (!con) {
    _server.set_timer(kAcceptPauseMs, [this](const websocketpp::lib::error_code& ec) {
      if (!ec) accept_next();
    });
    return;
  }
  _acceptor->async_accept(
      con->get_raw_socket(),
      [this, con](const websocketpp::lib::asio::error_code& ec) { on_accept(con, ec); });
}

void WebServer::on_accept(const server::connection_ptr& con,
                          const websocketpp::lib::asio::error_code& ec) {
  if (ec == websocketpp::lib::asio::error::operation_aborted) return;  // no longer listening
  if (ec) {
    // The connection stays queued in the kernel, so trying again now would fail again.
    _accept_failed_line.print("web server: accept failed (" + ec.message() + "), pausing for " +
                              std::to_string(kAcceptPauseMs) + " ms\n");
    _server.set_timer(kAcceptPauseMs, [this](const websocketpp::lib::error_code& timer_ec) {
      if (!timer_ec) accept_next();
    });
    return;
  }
  if (_connections >= kMaxConnections) {
    _at_cap_line.print("web server: " + std::to_string(kMaxConnections) +
                       " connections open, closing new ones\n");
    websocketpp::lib::asio::error_code ignored;
    con->get_raw_socket().close(ignored);
  } else {
    auto slot = std::make_shared<ConnectionSlot>(_connections);
    con->set_termination_handler([slot](server::connection_ptr) {});
    con->start();
  }
  accept_next();
}

void WebServer::close_unread(server* s, const server::connection_ptr& con) {
  const websocketpp::connection_hdl hdl = con->get_handle();
  if (!_closing.insert(hdl).second) return;
  print_error("web server: closing a connection that does not read its replies (over " +
              std::to_string(kMaxUnsentBytes) + " bytes unsent)\n");
  // Nothing more is read; the frames already read come here and are dropped. The close waits
  // until the library is done with them: closed inside its loop, it would log each one.
  con->pause_reading();
  s->get_io_service().post([this, con, hdl] {
    _closing.erase(hdl);
    // A reset: the replies it would not read are dropped at once, also from the kernel.
    websocketpp::lib::asio::error_code ignored;
    con->get_raw_socket().set_option(websocketpp::lib::asio::socket_base::linger(true, 0), ignored);
    con->terminate(websocketpp::lib::error_code());
    trim_soon();
  });
}

// The replies queued for a connection are many small blocks, which the allocator keeps for the
// web thread once freed; after a connection that was far behind, they go back to the system.
void WebServer::trim_soon() {
  if (_trim_pending) return;
  _trim_pending = true;
  _server.set_timer(kTrimDelayMs, [this](const websocketpp::lib::error_code& ec) {
    _trim_pending = false;
    if (!ec) malloc_trim(0);
  });
}

void WebServer::on_message(server* s, websocketpp::connection_hdl hdl, message_ptr msg) {
  try {
    server::connection_ptr con = s->get_con_from_hdl(hdl);
    // A client that sends without reading would otherwise queue replies without limit.
    if (con->get_buffered_amount() > kMaxUnsentBytes || _closing.count(hdl) != 0) {
      close_unread(s, con);
      return;
    }
    const std::optional<std::string> reply = handle_command(msg->get_payload());
    if (!reply) return;
    s->send(hdl, *reply, websocketpp::frame::opcode::text);
  } catch (const websocketpp::exception& e) {
    print_text(std::string("Echo failed because: (") + e.what() + ")\n");
  }
}

void WebServer::on_http(server* s, websocketpp::connection_hdl hdl) {
  server::connection_ptr con = s->get_con_from_hdl(hdl);
  const std::optional<HttpFile> file = resolve_resource(GlobalValue::rootPath, con->get_resource());
  std::optional<std::string> body;
  if (file) body = read_regular_file(file->path, file->folder);
  if (!body) {
    con->set_status(websocketpp::http::status_code::not_found);
    con->append_header("Content-Type", "text/plain; charset=utf-8");
    con->set_body("not found\n");
    return;
  }
  con->set_status(websocketpp::http::status_code::ok);
  if (!file->content_type.empty()) con->append_header("Content-Type", file->content_type);
  con->set_body(*body);
}

void WebServer::on_fail(server* s, websocketpp::connection_hdl hdl) {
  server::connection_ptr con = s->get_con_from_hdl(hdl);
  const websocketpp::lib::error_code ec = con->get_ec();
  print_text(std::string("Fail handler: ") + ec.category().name() + ":" +
             std::to_string(ec.value()) + " " + ec.message() + "\n");
}

void WebServer::on_close(server*, websocketpp::connection_hdl) { print_text("Close handler\n"); }

bool WebServer::on_validate(server* s, websocketpp::connection_hdl hdl) {
  server::connection_ptr con = s->get_con_from_hdl(hdl);
  const std::string& host = con->get_request_header("Host");
  // Browsers of the older drafts name the page's origin in Sec-WebSocket-Origin.
  for (const char* header : {"Origin", "Sec-WebSocket-Origin"}) {
    const std::string& origin = con->get_request_header(header);
    if (!_origins.allows(origin, host)) {
      print_text("websocket refused: origin " + origin + " is not host " + host + "\n");
      // The library would answer 400; the request is well formed, only not allowed.
      con->set_status(websocketpp::http::status_code::forbidden);
      return false;
    }
  }
  return true;
}

}  // namespace vb
