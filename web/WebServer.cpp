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
    // Bounds the whole exchange, answer included; the request alone has its own, shorter
    // bound (on_accept).
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

// Held by each accepted connection object for its whole life, so that its entry stands for a
// socket really held, however the connection ends.
template <class Map>
class ConnectionSlot {
 public:
  ConnectionSlot(Map& held, typename Map::key_type key) : held_(held), key_(key) {}
  ~ConnectionSlot() { held_.erase(key_); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  Map& held_;
  typename Map::key_type key_;
};

websocketpp::lib::error_code canceled() {
  return websocketpp::error::make_error_code(websocketpp::error::operation_canceled);
}

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
  websocketpp::lib::asio::error_code ignored;
  const auto remote = con->get_raw_socket().remote_endpoint(ignored);
  int live = 0;
  int from_address = 0;
  for (const auto& [key, held] : _held) {
    if (held.closing) continue;
    ++live;
    if (held.address == remote.address()) ++from_address;
  }
  if (ignored) {
    con->get_raw_socket().close(ignored);  // gone already
  } else if (from_address >= kMaxConnectionsPerAddress) {
    _per_address_line.print("web server: " + std::to_string(kMaxConnectionsPerAddress) +
                            " connections from " + remote.address().to_string() +
                            ", closing new ones from it\n");
    con->get_raw_socket().close(ignored);
  } else if (live >= kMaxConnections && !make_room()) {
    _at_cap_line.print("web server: " + std::to_string(kMaxConnections) +
                       " connections open, closing new ones\n");
    con->get_raw_socket().close(ignored);
  } else {
    Held& held = _held[con.get()];
    held.address = remote.address();
    held.order = ++_accepted;
    // The library's own bound also covers writing the answer, which a slow link may take long
    // for; this one ends when the request is whole.
    const websocketpp::connection_hdl hdl = con->get_handle();
    held.request_timer =
        _server.set_timer(kRequestTimeoutMs, [this, hdl](const websocketpp::lib::error_code& ec) {
          if (ec) return;
          websocketpp::lib::error_code gone;
          const server::connection_ptr timed_out = _server.get_con_from_hdl(hdl, gone);
          if (!timed_out) return;
          const auto it = _held.find(timed_out.get());
          if (it == _held.end() || it->second.request_done || it->second.closing) return;
          it->second.closing = true;
          timed_out->terminate(
              websocketpp::error::make_error_code(websocketpp::error::open_handshake_timeout));
        });
    auto slot = std::make_shared<ConnectionSlot<decltype(_held)>>(_held, con.get());
    con->set_termination_handler([slot](server::connection_ptr) {});
    con->start();
  }
  accept_next();
}

// Closes the connection that has waited longest without a whole request; false when every one
// has sent its request.
bool WebServer::make_room() {
  server::connection_type* oldest = nullptr;
  Held* oldest_held = nullptr;
  for (auto& [key, held] : _held) {
    if (held.closing || held.request_done) continue;
    if (oldest_held == nullptr || held.order < oldest_held->order) {
      oldest = key;
      oldest_held = &held;
    }
  }
  if (oldest == nullptr) return false;
  _room_made_line.print("web server: " + std::to_string(kMaxConnections) +
                        " connections open, closing the one waiting longest for its request\n");
  oldest_held->closing = true;
  oldest->terminate(canceled());
  return true;
}

void WebServer::request_done(const server::connection_ptr& con) {
  const auto it = _held.find(con.get());
  if (it == _held.end()) return;
  it->second.request_done = true;
  if (it->second.request_timer) {
    it->second.request_timer->cancel();
    it->second.request_timer.reset();
  }
}

void WebServer::close_unread(server* s, const server::connection_ptr& con) {
  const auto it = _held.find(con.get());
  if (it == _held.end() || it->second.closing) return;
  print_error("web server: closing a connection that does not read its replies (over " +
              std::to_string(kMaxUnsentBytes) + " bytes unsent)\n");
  close_behind(s, con);
}

void WebServer::close_behind(server* s, const server::connection_ptr& con) {
  const auto it = _held.find(con.get());
  if (it == _held.end() || it->second.closing) return;
  it->second.closing = true;
  const auto reset = [this, con] {
    // A reset: the replies it would not read are dropped at once, also from the kernel.
    websocketpp::lib::asio::error_code ignored;
    con->get_raw_socket().set_option(websocketpp::lib::asio::socket_base::linger(true, 0), ignored);
    con->terminate(canceled());
    trim_soon();
  };
  // An HTTP answer goes at once (from on_http, before the library writes it).
  if (con->get_state() != websocketpp::session::state::open) return reset();
  // Nothing more is read; the frames already read come here and are dropped. The close waits
  // until the library is done with them: closed inside its loop, it would log each one.
  con->pause_reading();
  s->get_io_service().post(reset);
}

// Each connection is bounded by itself too, but many just under their bound would together
// take far more than the process should.
void WebServer::bound_queued(server* s) {
  for (;;) {
    std::size_t total = 0;
    server::connection_type* behind = nullptr;
    std::size_t behind_bytes = 0;
    unsigned long behind_order = 0;
    for (const auto& [key, held] : _held) {
      if (held.closing) continue;
      const std::size_t bytes = held.response_bytes + key->get_buffered_amount();
      total += bytes;
      // Of equal ones the newest goes: the others have come further with theirs.
      if (bytes > behind_bytes || (bytes == behind_bytes && held.order > behind_order)) {
        behind = key;
        behind_bytes = bytes;
        behind_order = held.order;
      }
    }
    if (total <= kMaxQueuedBytes || behind == nullptr) return;
    _queued_line.print(
        "web server: replies held for all connections over " + std::to_string(kMaxQueuedBytes) +
        " bytes, closing the one furthest behind (" + std::to_string(behind_bytes) + " bytes)\n");
    close_behind(s, behind->get_shared());
  }
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
    const auto held = _held.find(con.get());
    if (con->get_buffered_amount() > kMaxUnsentBytes ||
        (held != _held.end() && held->second.closing)) {
      close_unread(s, con);
      return;
    }
    const std::optional<std::string> reply = handle_command(msg->get_payload());
    if (!reply) return;
    s->send(hdl, *reply, websocketpp::frame::opcode::text);
    // A reply that went out at once holds nothing beyond what is being written.
    if (con->get_buffered_amount() > 0) bound_queued(s);
  } catch (const websocketpp::exception& e) {
    print_text(std::string("Echo failed because: (") + e.what() + ")\n");
  }
}

void WebServer::on_http(server* s, websocketpp::connection_hdl hdl) {
  server::connection_ptr con = s->get_con_from_hdl(hdl);
  request_done(con);
  const std::optional<HttpFile> file = resolve_resource(GlobalValue::rootPath, con->get_resource());
  std::optional<std::string> body;
  if (file) body = read_regular_file(file->path, file->folder);
  if (!body) {
    con->set_status(websocketpp::http::status_code::not_found);
    con->append_header("Content-Type", "text/plain; charset=utf-8");
    con->set_body("not found\n");
    return;
  }
  // Held twice until written: as the response and as the bytes for the wire. Counted before it
  // is copied there, so that an answer that is itself too much is never built.
  const auto held = _held.find(con.get());
  if (held != _held.end()) {
    held->second.response_bytes = 2 * body->size();
    bound_queued(s);
    if (held->second.closing) return;
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
  request_done(con);
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
