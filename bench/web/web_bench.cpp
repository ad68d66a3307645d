#include <benchmark/benchmark.h>

#include <string>

#include "Global.h"
#include "HttpResource.h"
#include "WebServer.h"
#include "WsClient.h"

namespace {

void BM_HandleUpdate(benchmark::State& state) {
  const std::string payload = R"({"task":"update","id":1})";
  for (auto _ : state) benchmark::DoNotOptimize(vb::WebServer::handle_command(payload));
}
BENCHMARK(BM_HandleUpdate);

void BM_HandleGetJointParam(benchmark::State& state) {
  const std::string payload = R"({"task":"getJointParam","id":1})";
  for (auto _ : state) benchmark::DoNotOptimize(vb::WebServer::handle_command(payload));
}
BENCHMARK(BM_HandleGetJointParam);

void BM_ResolveResource(benchmark::State& state) {
  const std::string root = "/home/TervinCobot/Halvane";
  const std::string target = "/assets/index-3f2a1b.js?v=1.2.0";
  for (auto _ : state) benchmark::DoNotOptimize(vb::resolve_resource(root, target));
}
BENCHMARK(BM_ResolveResource);

// One "update" request and its reply over a real websocket on loopback.
void BM_WebsocketUpdateRoundTrip(benchmark::State& state) {
  vb::WebServer server(0);
  server.run();
  const unsigned short port = server.listening_port();
  vb::tools::WsClient client;
  std::string error;
  if (port == 0 || !client.connect("127.0.0.1", port, 10, &error)) {
    state.SkipWithError(("no server: " + error).c_str());
    return;
  }
  std::string reply;
  for (auto _ : state) {
    if (!client.request(R"({"task":"update"})", &reply, 10)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
  client.close();
}
BENCHMARK(BM_WebsocketUpdateRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
