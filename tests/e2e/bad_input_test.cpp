// Hostile input on the program's live port while an identification runs: malformed and
// oversized websocket messages, websocket upgrades from a foreign Origin, HTTP requests that try
// to leave the UI folder, and bytes that are no HTTP at all. Each gets its clear refusal, the
// program keeps serving, and the test in progress goes on undisturbed.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cases.h"
#include "harness.h"

namespace vb {
namespace e2e {
namespace {

std::string upgrade(int port, const std::string& origin) {
  std::string r = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) r += "Origin: " + origin + "\r\n";
  return r + "\r\n";
}

// A masked client frame header (and payload) as the protocol wants them.
// The length field may claim more than the payload holds.
std::string frame(uint8_t opcode, const std::string& payload, uint64_t declared_length) {
  std::string f;
  f += static_cast<char>(0x80 | opcode);
  if (declared_length < 126) {
    f += static_cast<char>(0x80 | declared_length);
  } else if (declared_length <= 0xffff) {
    f += static_cast<char>(0x80 | 126);
    for (int s = 8; s >= 0; s -= 8) f += static_cast<char>((declared_length >> s) & 0xff);
  } else {
    f += static_cast<char>(0x80 | 127);
    for (int s = 56; s >= 0; s -= 8) f += static_cast<char>((declared_length >> s) & 0xff);
  }
  const char mask[4] = {0x11, 0x22, 0x33, 0x44};
  f.append(mask, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ mask[i % 4]);
  return f;
}

// The status code of the close frame the server sent, 0 when there is none.
int closeCode(const std::string& bytes) {
  const std::size_t head = bytes.find("\r\n\r\n");
  std::size_t at = head == std::string::npos ? 0 : head + 4;
  while (at + 2 <= bytes.size()) {
    const uint8_t op = static_cast<uint8_t>(bytes[at]) & 0x0f;
    uint64_t len = static_cast<uint8_t>(bytes[at + 1]) & 0x7f;
    std::size_t p = at + 2;
    if (len == 126) {
      if (p + 2 > bytes.size()) return 0;
      len = (static_cast<uint8_t>(bytes[p]) << 8) | static_cast<uint8_t>(bytes[p + 1]);
      p += 2;
    } else if (len == 127) {
      return 0;  // the server sends nothing that long here
    }
    if (op == 0x8 && len >= 2 && p + 2 <= bytes.size())
      return (static_cast<uint8_t>(bytes[p]) << 8) | static_cast<uint8_t>(bytes[p + 1]);
    at = p + len;
  }
  return 0;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class BadInputTest : public ::testing::TestWithParam<Depth> {
 protected:
  // The program still answers "update" on a new connection.
  void expectServing() {
    Observer fresh(web_port_);
    EXPECT_TRUE(fresh.connected());
    EXPECT_GE(fresh.testState(), 0);
  }

  int web_port_ = freePort();
  int controller_port_ = freePort();
  Operator op_{web_port_, GetParam()};
};

TEST_P(BadInputTest, RefusedClearlyWhileTheTestGoesOn) {
  auto robot_sim = startSim(controller_port_);
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());
  auto run = op_.startRun(0);
  ASSERT_TRUE(observer.waitForState(1, Seconds(60)));

  {
    SCOPED_TRACE("malformed and refused requests on one connection");
    tools::WsClient ws;
    std::string error;
    ASSERT_TRUE(ws.connect("127.0.0.1", web_port_, 10, &error)) << error;
    std::string deep = "{\"task\":\"update\",\"x\":";
    deep += std::string(30000, '[') + std::string(30000, ']') + "}";
    const std::vector<std::string> no_reply = {
        "",
        "{",
        "[1,2]",
        "5",
        "{}",
        R"({"id":3})",
        R"({"task":5})",
        R"({"task":"update"})"
        "x",
        R"({"task":"update",})",
        R"({"task":"upd\ud800ate"})",
        deep.substr(0, deep.size() - 1),
    };
    for (const std::string& text : no_reply) {
      std::string reply;
      ASSERT_TRUE(ws.send(text));
      EXPECT_FALSE(ws.next(&reply, 0.3))
          << "reply to malformed " << text.substr(0, 40) << ": " << reply;
    }
    std::string reply;
    EXPECT_TRUE(ws.request(R"({"task":"Update","id":1})", &reply, 10));
    EXPECT_EQ(reply, "") << "an unknown task gets an empty message";
    const std::vector<std::string> refused = {
        R"({"task":"activateIDResult","req":{"num":6}})",
        R"({"task":"activateIDResult","req":{"num":-1}})",
        R"({"task":"deactivateIDResult","req":{"num":"0"}})",
        R"({"task":"setTestMode","req":{"mode":1000}})",
        R"({"task":"setTestMode","req":5})",
        R"({"task":"setJointParam","req":{"motor_pole_pair":[1,2]}})",
        R"({"task":"setHighSpeedMode","req":[true]})",
    };
    for (const std::string& text : refused) {
      ASSERT_TRUE(ws.request(text, &reply, 10)) << text;
      EXPECT_NE(reply.find(R"("success":false)"), std::string::npos) << text << " -> " << reply;
      EXPECT_NE(reply.find(R"("error":)"), std::string::npos) << text << " -> " << reply;
    }
    // A large request within the limit is served like any other.
    const std::string big = R"({"task":"update","pad":")" + std::string(60000, 'x') + "\"}";
    ASSERT_TRUE(ws.request(big, &reply, 30));
    EXPECT_EQ(reply.rfind(R"({"id":0,"task":"update","test_state":1)", 0), 0u)
        << reply.substr(0, 80);
    ASSERT_TRUE(ws.request(R"({"task":"update","id":9})", &reply, 10));
    EXPECT_EQ(reply.rfind(R"({"id":9,"task":"update")", 0), 0u) << "still serving this connection";
  }
  {
    SCOPED_TRACE("a message above the size limit ends its connection with 1009");
    RawConnection raw(web_port_);
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send(upgrade(web_port_, "")));
    ASSERT_EQ(httpStatus(raw.read(Seconds(10), "\r\n\r\n")), 101);
    raw.send(frame(0x1, std::string(65536, 'x'), 40000000));
    const std::string in = raw.read(Seconds(20));
    EXPECT_EQ(closeCode(in), 1009);
    EXPECT_TRUE(raw.closed());
  }
  {
    SCOPED_TRACE("a text frame that is not UTF-8 ends its connection with 1007");
    RawConnection raw(web_port_);
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send(upgrade(web_port_, "")));
    ASSERT_EQ(httpStatus(raw.read(Seconds(10), "\r\n\r\n")), 101);
    const std::string not_utf8 = "{\"task\":\"\xff\xfe\"}";
    raw.send(frame(0x1, not_utf8, not_utf8.size()));
    EXPECT_EQ(closeCode(raw.read(Seconds(20))), 1007);
  }
  {
    SCOPED_TRACE("upgrades from a foreign Origin are refused; the page's own is taken");
    const std::string own = "http://127.0.0.1:" + std::to_string(web_port_);
    for (const std::string& origin : {std::string("http://evil.example"), std::string("null"),
                                      "http://10.1.2.3:" + std::to_string(web_port_),
                                      std::string("https://127.0.0.1.evil.example")}) {
      RawConnection raw(web_port_);
      ASSERT_TRUE(raw.ok());
      ASSERT_TRUE(raw.send(upgrade(web_port_, origin)));
      EXPECT_EQ(httpStatus(raw.read(Seconds(10), "\r\n\r\n")), 403) << origin;
    }
    RawConnection raw(web_port_);
    ASSERT_TRUE(raw.send(upgrade(web_port_, own)));
    EXPECT_EQ(httpStatus(raw.read(Seconds(10), "\r\n\r\n")), 101);
    // The program's output reaches the test through a pipe: wait for the lines, don't count early.
    EXPECT_TRUE(program->waitFor("websocket refused: origin", Seconds(10), 4));
  }
  {
    SCOPED_TRACE("HTTP requests that would leave the UI folder");
    const std::string secret = fileText(uiRoot() + "/run/secret.txt");
    ASSERT_FALSE(secret.empty());
    for (const char* target :
         {"/../secret.txt", "/..%2fsecret.txt", "/%2e%2e/secret.txt", "/img/../../secret.txt",
          "/img/..%5c..%5csecret.txt", "/../../../../../../etc/passwd",
          "/%2e%2e%2f%2e%2e%2fetc/passwd", "/..", "/%00", "secret.txt", "/..%00/secret.txt"}) {
      RawConnection raw(web_port_);
      ASSERT_TRUE(raw.ok());
      ASSERT_TRUE(raw.send(std::string("GET ") + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
      const std::string response = raw.read(Seconds(10));
      EXPECT_EQ(httpStatus(response), 404) << target;
      EXPECT_EQ(response.find(secret), std::string::npos) << target;
      EXPECT_EQ(response.find("root:"), std::string::npos) << target;
    }
    RawConnection page(web_port_);
    ASSERT_TRUE(page.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string response = page.read(Seconds(10));
    EXPECT_EQ(httpStatus(response), 200);
    EXPECT_EQ(httpBody(response), fileText(uiRoot() + "/run/dist/index.html"));
  }
  {
    SCOPED_TRACE("bytes that are no HTTP, and requests that never end");
    // Left open: a client that never completes its request must not hold up the others (it is
    // closed after the open time-out).
    RawConnection idle(web_port_);
    ASSERT_TRUE(idle.send("GET / HTTP/1.1\r\n"));
    RawConnection tls(web_port_);
    ASSERT_TRUE(tls.send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
    const struct {
      std::string bytes;
      int status;
    } refused[] = {
        {"GARBAGE\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(70000, 'A') + "\r\n\r\n", 431},
    };
    for (const auto& r : refused) {
      RawConnection raw(web_port_);
      ASSERT_TRUE(raw.ok());
      raw.send(r.bytes);
      EXPECT_EQ(httpStatus(raw.read(Seconds(10))), r.status) << r.bytes.substr(0, 20);
    }
    EXPECT_EQ(httpStatus(tls.read(Seconds(1))), 0) << "no answer to bytes that are no request";
    expectServing();
  }

  // The identification was not disturbed.
  EXPECT_EQ(observer.testState(), 1);
  op_.finish(std::move(run), 0, observer);
  expectServing();
  expectHealthy(*program);
}

INSTANTIATE_TEST_SUITE_P(Depths, BadInputTest, ::testing::Values(Depth::kShort, Depth::kFull),
                         [](const ::testing::TestParamInfo<Depth>& info) {
                           return depthName(info.param);
                         });

}  // namespace
}  // namespace e2e
}  // namespace vb
