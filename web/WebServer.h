// The operator's entry point: one TCP port serving the browser UI's files over plain HTTP and
// the websocket JSON commands that drive the test, on a thread of its own.
//
// The web side and the control thread meet only in vb::GlobalValue. Every command handler holds
// _data_mutex for its whole command; the control thread never takes that mutex, and the
// handlers hold GlobalValue::table_mutex only to copy tables in or out, never while printing
// or building a reply, so a slow browser or a blocked stdout cannot stall the 4 ms cycle.
//
// The command handling (handle_command and the nine handlers) and the file lookup
// (HttpResource.h) need no socket and no instance, so they can be driven directly.
#pragma once

#include <rapidjson/document.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "OriginRule.h"

namespace vb {

class WebServer {
 public:
  using server = websocketpp::server<websocketpp::config::asio>;
  using message_ptr = server::message_ptr;

  // Stores the port (0: any free port, see listening_port) and the origins let in
  // (OriginRule::from_environment); opens nothing.
  explicit WebServer(unsigned short port);
  // Stops the event loop and joins the web thread if one runs.
  ~WebServer();

  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Starts the web thread (body: start()) and returns at once. Call once.
  void run();
  // The web thread's body: settings, handlers, listen, event loop. Returns when the loop ends
  // or listening failed; prints the failure.
  void start();

  // Blocks until the web thread listens or has given up; the bound port, or 0 when it failed.
  unsigned short listening_port();
  // Ends the event loop and joins the web thread. The program never calls it.
  void stop();

  // Event handlers, bound by start(); they run on the web thread only.
  void on_message(server* s, websocketpp::connection_hdl hdl, message_ptr msg);
  void on_http(server* s, websocketpp::connection_hdl hdl);
  void on_fail(server* s, websocketpp::connection_hdl hdl);
  void on_close(server* s, websocketpp::connection_hdl hdl);
  bool on_validate(server* s, websocketpp::connection_hdl hdl);

  // One websocket payload, as on_message handles it: the reply text (empty for an unknown
  // task), or nothing for a malformed request. Prints the lines of the command.
  static std::optional<std::string> handle_command(const std::string& payload);

  // The commands; each returns its reply text.
  static std::string update(rapidjson::Document& d);
  static std::string setTestMode(rapidjson::Document& d);
  static std::string getJointParam(rapidjson::Document& d);
  static std::string setJointParam(rapidjson::Document& d);
  static std::string startTest(rapidjson::Document& d);
  static std::string stopTest(rapidjson::Document& d);
  static std::string setHighSpeedMode(rapidjson::Document& d);
  static std::string activateIDResult(rapidjson::Document& d);
  static std::string deactivateIDResult(rapidjson::Document& d);

  static std::mutex _data_mutex;

  // What one client may take of the process, so that no client can starve the others or the
  // control loop beside them. The largest legitimate command is well under 1 KiB.
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024;  // websocket message, HTTP body
  static constexpr int kMaxJsonDepth = 32;
  // A connection this far behind in reading its replies is closed.
  static constexpr std::size_t kMaxUnsentBytes = 1024 * 1024;
  // Connections held at once, handshaking or open. At the cap, the one that has waited longest
  // without finishing its request makes room for a new one; when all have finished theirs, the
  // new one is closed.
  static constexpr int kMaxConnections = 256;
  // Connections one client address may hold; more from it are closed as soon as accepted.
  static constexpr int kMaxConnectionsPerAddress = 32;
  // Replies held for all connections together (websocket send queues, HTTP responses being
  // written); over it, the connection furthest behind is closed.
  static constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;
  // From accepting a connection to having its whole request (websocket upgrade or HTTP).
  static constexpr long kRequestTimeoutMs = 10000;
  // Until the websocket handshake is answered or the HTTP answer written: long, so that a slow
  // link still gets a large UI file whole; the request itself is bounded by kRequestTimeoutMs.
  static constexpr long kOpenTimeoutMs = 500000;
  // How long accepting waits after accept failed (no descriptors left, no kernel memory).
  static constexpr long kAcceptPauseMs = 100;
  // From closing a connection that was far behind to giving its memory back (time for the
  // connection to end).
  static constexpr long kTrimDelayMs = 1000;

 private:
  void set_listen_result(unsigned short port);
  void accept_next();
  void on_accept(const server::connection_ptr& con, const websocketpp::lib::asio::error_code& ec);
  void close_unread(server* s, const server::connection_ptr& con);
  void close_behind(server* s, const server::connection_ptr& con);
  void bound_queued(server* s);
  void request_done(const server::connection_ptr& con);
  bool make_room();
  void trim_soon();

  // A line that may come from a flood: printed at most once a minute.
  struct RareLine {
    void print(const std::string& text);
    std::optional<std::chrono::steady_clock::time_point> last;
  };

  // What the server keeps of each accepted connection (web thread only).
  struct Held {
    websocketpp::lib::asio::ip::address address;
    unsigned long order = 0;         // in accept order
    bool request_done = false;       // on_http or on_validate has run
    bool closing = false;            // being closed by us: no longer counts against the limits
    std::size_t response_bytes = 0;  // an HTTP response being written
    server::timer_ptr request_timer;
  };

  unsigned short _port;
  OriginRule _origins;  // from the environment at construction
  // Connection objects alive, each holding its socket, keyed by the object: an entry goes in the
  // object's own destruction, so the key never outlives it. Declared before _server: the
  // connections still queued in its event loop leave it when it goes.
  std::map<server::connection_type*, Held> _held;
  unsigned long _accepted = 0;
  server _server;
  // The listening socket, taken from the endpoint when it binds; declared after _server so that
  // it goes first.
  server::transport_type::acceptor_ptr _acceptor;
  bool _trim_pending = false;
  RareLine _accept_failed_line;
  RareLine _at_cap_line;
  RareLine _room_made_line;
  RareLine _per_address_line;
  RareLine _queued_line;
  std::unique_ptr<std::thread> _thread;

  // Hand-over of the listen result from the web thread.
  std::mutex _listen_mutex;
  std::condition_variable _listen_cv;
  bool _listen_done = false;
  unsigned short _bound_port = 0;
};

}  // namespace vb
