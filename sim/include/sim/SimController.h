#pragma once
// Simulated robot controller: the RPCRobot Thrift service (binary protocol, buffered transport,
// one thread per connection) on 127.0.0.1 over a RobotModel, with fault injection and a record
// of what the program asked. Methods the model does not cover answer 0, false or empty.
//
// Every public method is thread-safe; one mutex guards the model and the records.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/RobotModel.h"

namespace vb::sim {

struct RecordedCall {
  std::string method;
  std::string args;       // the arguments as text, e.g. "0, 43, 12551, 0, false"; lists in [ ]
  double sim_time = 0.0;  // clock when it was served (get_robot_state: after its tick)
  bool threw = false;     // answered with an injected exception
};

class SimController {
 public:
  static constexpr int kDefaultPort = 7003;

  explicit SimController(SimConfig config = SimConfig());
  ~SimController();
  SimController(const SimController&) = delete;
  SimController& operator=(const SimController&) = delete;

  // Listens on 127.0.0.1:port (0 picks a free port) and returns the bound port. Throws
  // std::runtime_error when the port cannot be bound or the server is already running.
  int start(int port = kDefaultPort);
  void stop();  // closes every connection; start() may be called again
  int port() const;
  bool running() const;

  // --- Faults ---
  void setRobotState(std::vector<int8_t> state);  // from the current sim time on
  void setRobotStateAt(double sim_time, std::vector<int8_t> state);
  // The nth (1-based, counted from simulator start) motion or servo task of the joint reports 6
  // and has no effect. A motion task belongs to every joint whose target differs from its
  // position; a servo task to its axis.
  void failTask(int joint, TaskKind kind, int nth);
  void tasksNeverFinish(bool never);  // tasks started from now on report 1 forever
  // From sim_time on, for `seconds` of sim time, motion tasks report 2 (paused) and the arm holds
  // still; then the moves go on where they stood.
  void pauseMotionAt(double sim_time, double seconds);
  void setServoTaskQueries(int queries);
  void setReplyDelay(std::chrono::milliseconds delay);
  // Closes every connection and refuses new ones for that many wall-clock seconds, as a
  // controller restart does; returns once the connections are closed.
  void dropConnectionsFor(double seconds);
  // The same, triggered by the first get_robot_state at or after sim_time.
  void dropConnectionsAt(double sim_time, double seconds);
  // Calls of that method answer a TApplicationException: the next `times` calls, or every call
  // while times is negative; times 0 clears it.
  void throwOnMethod(const std::string& method, int times = -1);
  void setMotorDataLength(int length);

  // --- Observation ---
  std::vector<RecordedCall> calls() const;
  std::vector<RecordedCall> callsOf(const std::string& method) const;
  uint64_t callCount(const std::string& method) const;  // also counts calls no longer recorded
  void clearCalls();
  void setMaxRecordedCalls(size_t max);  // oldest records are dropped beyond it (default 1e6)
  std::vector<ServoApply> servoApplies() const;
  std::optional<int32_t> activeServoParam(int joint, int id) const;
  std::map<FileParamKey, double> fileParams() const;
  std::vector<double> jointPositions() const;
  double simTime() const;
  int taskCount(int joint, TaskKind kind) const;
  // movej2 requests that arrived while another motion task was alive (running or paused).
  int overlappingMoves() const;
  std::array<JointTruth, kJoints> groundTruth() const;
  SimConfig config() const;

  // Runs f on the model under the lock, for in-process stepping and inspection.
  void withModel(const std::function<void(RobotModel&)>& f);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vb::sim
