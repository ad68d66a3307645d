// The control thread's output channel: number formatting byte for byte as stream output, the
// ring's records under wrap-around, a full ring and two threads, and the writer thread draining to
// stdout and stderr in push order while another thread holds standard output.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ControlOutput.h"
#include "component_rig.h"

namespace vb::test {
namespace {

template <class T>
std::string streamed(T value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

// The text of a line holding only `value`; the line is discarded, not written.
template <class T>
std::string formatted(T value) {
  OutputLine line;
  line << value;
  std::string text(line.data(), line.size());
  line.clear();
  return text;
}

TEST(OutputLineFormat, DoublesAsStreamOutputWithDefaultFlags) {
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           2.9,
                           0.1 + 0.2,
                           0.017453292519943295,
                           0.0001,
                           0.00001,
                           123456.0,
                           1234567.0,
                           999999.5,
                           9999995.0,
                           1e300,
                           -1e-300,
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::lowest(),
                           inf,
                           -inf,
                           std::nan(""),
                           -std::nan("")};
  for (double v : values) EXPECT_EQ(formatted(v), streamed(v)) << streamed(v);

  // Every kind of bit pattern: normal, subnormal, infinities, NaNs with payloads.
  std::mt19937_64 bits(7);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t b = bits();
    double v;
    std::memcpy(&v, &b, sizeof v);
    ASSERT_EQ(formatted(v), streamed(v)) << std::hexfloat << v;
    // Values of the size the test lines print (rad/s, Hz, deg/s, phases).
    const double small = static_cast<double>(b % 20000001) / 1000.0 - 10000.0;
    ASSERT_EQ(formatted(small), streamed(small));
  }
}

TEST(OutputLineFormat, IntegersAndWholeLines) {
  testing::internal::CaptureStdout();
  for (int v : {0, 1, -1, 250, INT_MAX, INT_MIN}) EXPECT_EQ(formatted(v), streamed(v));
  for (unsigned v : {0u, 999u, 12551u, UINT_MAX}) EXPECT_EQ(formatted(v), streamed(v));
  for (short v : {short{8}, short{-32768}, short{32767}}) EXPECT_EQ(formatted(v), streamed(v));
  EXPECT_EQ(formatted(LLONG_MIN), streamed(LLONG_MIN));
  EXPECT_EQ(formatted(ULLONG_MAX), streamed(ULLONG_MAX));
  EXPECT_EQ(formatted(ULONG_MAX), streamed(ULONG_MAX));
  EXPECT_EQ(formatted('x'), streamed('x'));

  // A verification result line, as the stage writes it.
  const unsigned j = 3;
  const double freq = 23.4375, amp = 0.512345678, opt = 0.0123, phase = 2.4, current = 1.2;
  const unsigned order = 16, word = 62353;
  OutputLine line;
  line << j << " max vib velo: " << 0.0174533 << '\n';
  line << freq << " " << order << " " << amp << " " << opt << "  " << phase << " " << current << " "
       << word << '\n';
  std::ostringstream os;
  os << j << " max vib velo: " << 0.0174533 << std::endl;
  os << freq << " " << order << " " << amp << " " << opt << "  " << phase << " " << current << " "
     << word << std::endl;
  EXPECT_EQ(std::string(line.data(), line.size()), os.str());
  line.send();
  EXPECT_EQ(line.size(), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), os.str());
}

TEST(OutputLineFormat, TextPastTheBufferIsCutOff) {
  OutputLine line;
  const std::string long_text(OutputLine::kCapacity + 100, 'a');
  line << long_text.c_str() << 12345 << 1.5;
  EXPECT_EQ(line.size(), OutputLine::kCapacity);
  testing::internal::CaptureStdout();
  line.send();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), long_text.substr(0, OutputLine::kCapacity));
}

std::string record(int i) { return "line " + std::to_string(i) + std::string(i % 7, '.') + "\n"; }

TEST(OutputRing, RecordsComeOutWholeAndInOrderAcrossTheWrap) {
  OutputRing ring(64);
  ASSERT_EQ(ring.capacity(), 64u);
  char out[OutputRing::kMaxRecord];
  OutputStream stream;
  int next_out = 0;
  for (int i = 0; i < 500; ++i) {
    const std::string text = record(i);
    const OutputStream s = i % 3 == 0 ? OutputStream::kErr : OutputStream::kOut;
    ASSERT_TRUE(ring.push(s, text.data(), text.size())) << i;
    // Leave one or two records in the ring, so that every offset of the wrap is passed.
    while (ring.pushed() - ring.consumed() > 30) {
      const std::size_t n = ring.pop(stream, out);
      ASSERT_EQ(std::string(out, n), record(next_out));
      EXPECT_EQ(stream, next_out % 3 == 0 ? OutputStream::kErr : OutputStream::kOut);
      ++next_out;
    }
  }
  std::size_t n;
  while ((n = ring.pop(stream, out)) > 0) ASSERT_EQ(std::string(out, n), record(next_out++));
  EXPECT_EQ(next_out, 500);
  EXPECT_EQ(ring.dropped(), 0u);
}

TEST(OutputRing, FullEmptyAndOversizedRecordsAreDroppedAndCounted) {
  OutputRing ring(64);
  const std::string text(20, 'x');  // 23 bytes with the header: two fit into 64
  EXPECT_TRUE(ring.push(OutputStream::kOut, text.data(), text.size()));
  EXPECT_TRUE(ring.push(OutputStream::kOut, text.data(), text.size()));
  EXPECT_FALSE(ring.push(OutputStream::kOut, text.data(), text.size()));
  EXPECT_EQ(ring.dropped(), 1u);
  EXPECT_FALSE(ring.push(OutputStream::kOut, text.data(), 0));
  EXPECT_EQ(ring.dropped(), 2u);

  OutputRing big(2 * OutputRing::kMaxRecord);
  const std::string longest(OutputRing::kMaxRecord, 'y');
  EXPECT_TRUE(big.push(OutputStream::kErr, longest.data(), longest.size()));
  EXPECT_FALSE(big.push(OutputStream::kErr, longest.data(), longest.size() + 1));
  EXPECT_EQ(big.dropped(), 1u);
  char out[OutputRing::kMaxRecord];
  OutputStream stream = OutputStream::kOut;
  EXPECT_EQ(big.pop(stream, out), longest.size());
  EXPECT_EQ(stream, OutputStream::kErr);
  EXPECT_EQ(std::string(out, longest.size()), longest);
  EXPECT_EQ(big.pop(stream, out), 0u);

  // Room again once the consumer has taken a record.
  EXPECT_GT(ring.pop(stream, out), 0u);
  EXPECT_TRUE(ring.push(OutputStream::kOut, text.data(), text.size()));
}

// Producer and consumer on their own threads (run under TSan): every record that got in comes out
// whole and in order, and the others are counted.
TEST(OutputRing, TwoThreads) {
  OutputRing ring(1024);
  constexpr int kRecords = 100000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kRecords; ++i) {
      const std::string text = record(i);
      ring.push(OutputStream::kOut, text.data(), text.size());
    }
    done = true;
  });
  char out[OutputRing::kMaxRecord];
  OutputStream stream;
  int received = 0;
  int last = -1;
  for (;;) {
    const bool finished = done.load();
    std::size_t n;
    while ((n = ring.pop(stream, out)) > 0) {
      const std::string text(out, n);
      const int i = std::stoi(text.substr(5));
      ASSERT_GT(i, last);
      ASSERT_EQ(text, record(i));
      last = i;
      ++received;
    }
    if (finished) break;
  }
  producer.join();
  EXPECT_EQ(received + static_cast<int>(ring.dropped()), kRecords);
}

// Standard output and standard error into one file, as a pipe that collects both would see them.
// Begun before the writer starts and ended after it stops, so no descriptor changes under it.
class MergedCapture {
 public:
  MergedCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_out_ = ::dup(1);
    saved_err_ = ::dup(2);
    ::dup2(::fileno(file_), 1);
    ::dup2(::fileno(file_), 2);
  }
  MergedCapture(const MergedCapture&) = delete;
  MergedCapture& operator=(const MergedCapture&) = delete;
  ~MergedCapture() {
    if (file_ != nullptr) finish();
  }

  std::string finish() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    ::close(saved_out_);
    ::close(saved_err_);
    std::string text;
    std::rewind(file_);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The writer's note about dropped lines is its own; the rest are the pushed lines.
bool isDropNote(const std::string& line) { return line.rfind("control output: ", 0) == 0; }

TEST(ControlOutputWriter, LinesOfBothStreamsKeepTheirOrder) {
  MergedCapture capture;
  ControlOutput::startWriter();
  ASSERT_TRUE(ControlOutput::writerRunning());
  const std::uint64_t dropped_before = ControlOutput::dropped();
  constexpr int kLines = 20000;
  std::thread control([] {
    for (int i = 0; i < kLines; ++i) {
      OutputLine(i % 5 == 0 ? OutputStream::kErr : OutputStream::kOut)
          << (i % 5 == 0 ? "err " : "out ") << i << '\n';
      if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  control.join();
  ControlOutput::flush();
  const std::uint64_t dropped = ControlOutput::dropped() - dropped_before;
  ControlOutput::stopWriter();
  EXPECT_FALSE(ControlOutput::writerRunning());
  const std::vector<std::string> lines = linesOf(capture.finish());

  int seen = 0;
  int last = -1;
  for (const std::string& line : lines) {
    if (isDropNote(line)) continue;
    const int i = std::stoi(line.substr(4));
    ASSERT_GT(i, last) << line;
    ASSERT_EQ(line, (i % 5 == 0 ? "err " : "out ") + std::to_string(i)) << line;
    last = i;
    ++seen;
  }
  EXPECT_EQ(seen + static_cast<int>(dropped), kLines);
}

// Another thread holds standard output (as the web thread does while it writes): the control
// thread's pushes return at once, a full ring drops lines and counts them, and once the stream is
// free the writer delivers what got in, whole and in order, and notes the drops on stderr.
TEST(ControlOutputWriter, HeldStandardOutputNeverHoldsTheControlThread) {
  MergedCapture capture;
  ControlOutput::startWriter();
  constexpr int kLines = 20000;  // 200 kB: more than the ring holds
  const std::uint64_t dropped_before = ControlOutput::dropped();

  ::flockfile(stdout);
  std::promise<void> pushed;
  std::thread control([&] {
    for (int i = 0; i < kLines; ++i) OutputLine() << "robot power off! " << i << '\n';
    pushed.set_value();
  });
  const bool returned =
      pushed.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  ::funlockfile(stdout);
  control.join();
  EXPECT_TRUE(returned) << "the control thread waited for standard output";

  ControlOutput::flush();
  const std::uint64_t dropped = ControlOutput::dropped() - dropped_before;
  ControlOutput::stopWriter();
  const std::vector<std::string> lines = linesOf(capture.finish());

  EXPECT_GT(dropped, 0u);
  int seen = 0;
  int last = -1;
  bool noted = false;
  for (const std::string& line : lines) {
    if (isDropNote(line)) {
      noted = true;
      continue;
    }
    ASSERT_EQ(line.rfind("robot power off! ", 0), 0u) << line;
    const int i = std::stoi(line.substr(17));
    ASSERT_GT(i, last);
    last = i;
    ++seen;
  }
  EXPECT_EQ(seen + static_cast<int>(dropped), kLines);
  EXPECT_TRUE(noted);
}

TEST(ControlOutputWriter, WithoutAWriterLinesGoOutAtOnce) {
  EXPECT_FALSE(ControlOutput::writerRunning());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  OutputLine() << "robot power off!" << '\n';
  OutputLine(OutputStream::kErr) << "resetId: " << 3 << '\n';
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "resetId: 3\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "robot power off!\n");

  // And again once a writer has come and gone.
  ControlOutput::startWriter();
  ControlOutput::stopWriter();
  testing::internal::CaptureStdout();
  OutputLine() << 2.5 << '\n';
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "2.5\n");
}

// The component with the writer running, as in the program: init() prints on the configuring
// thread, the cycles on their own; a thread beside them prints through stdio as the web thread
// does. The connection messages stay one line, and the component's lines keep their order.
TEST(ControlOutputWriter, ConfigurationAndCycleLinesInOrderBesideTheWebThread) {
  RefusingPort nowhere;
  MergedCapture capture;
  ControlOutput::startWriter();
  const std::uint64_t dropped_before = ControlOutput::dropped();
  std::atomic<bool> stop_web{false};
  std::thread web([&] {
    while (!stop_web) {
      const std::string text = "websocket refused: origin x is not host y\n";
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  {
    sim::SimConfig config;
    config.robot_state = {4, 0, 5, 1};  // powered off: a line every cycle
    Rig rig(config, false);
    rig.configureAndStart();
    std::thread control([&] { rig.cycle(500); });
    control.join();
    ControlOutput::flush();
  }
  {
    VibrationTestHandler absent("hello", "127.0.0.1", nowhere.port());
    absent.configure();
  }
  stop_web = true;
  web.join();
  ControlOutput::flush();
  ASSERT_EQ(ControlOutput::dropped(), dropped_before);
  ControlOutput::stopWriter();
  const std::string text = capture.finish();

  std::vector<std::string> component;
  for (const std::string& line : linesOf(text)) {
    if (line == "websocket refused: origin x is not host y") continue;
    if (line.rfind("Thrift: ", 0) == 0) continue;  // the RPC library's own error lines
    component.push_back(line);
  }
  std::vector<std::string> want = {"connectToOvraCobot successed.connectToOvraCobot end ."};
  std::string pp_line = "motor_pole_pair: ", slots_line = "stator_slots: ",
              ratio_line = "joint_ratio: ";
  for (const sim::JointConfig& joint : sim::SimConfig().joints) {
    pp_line += std::to_string(joint.pole_pairs) + " ";
    slots_line += std::to_string(joint.stator_slots) + " ";
    ratio_line += std::to_string(joint.gear_ratio) + " ";
  }
  want.insert(want.end(), {pp_line, slots_line, ratio_line});
  for (int i = 0; i < 500; ++i) want.push_back("robot power off!");
  // Without a controller the motor data stored from the first one stand.
  want.insert(want.end(), {"connectToOvraCobot failed.connectToOvraCobot end .", pp_line,
                           slots_line, ratio_line});
  EXPECT_EQ(component, want);
}

}  // namespace
}  // namespace vb::test
