#include "WebServer.h"

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
    // Operators' browsers may sit on a half-open connection for a long time.
    _server.set_open_handshake_timeout(500000);
    _server.init_asio();
    _server.set_reuse_addr(true);

    _server.set_message_handler(std::bind(&WebServer::on_message, this, &_server, _1, _2));
    _server.set_http_handler(std::bind(&WebServer::on_http, this, &_server, _1));
    _server.set_fail_handler(std::bind(&WebServer::on_fail, this, &_server, _1));
    _server.set_close_handler(std::bind(&WebServer::on_close, this, &_server, _1));
    _server.set_validate_handler(std::bind(&WebServer::on_validate, this, &_server, _1));

    print_text("webserver start listen:" + std::to_string(_port) + "\n");
    _server.listen(websocketpp::lib::asio::ip::tcp::v4(), _port);
    _server.start_accept();

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

void WebServer::on_message(server* s, websocketpp::connection_hdl hdl, message_ptr msg) {
  try {
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
