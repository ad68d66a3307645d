// Standard output and standard error of the control thread, without ever waiting.
//
// The 4 ms control thread must not wait on the web thread or on an output stream that another
// thread holds (the web thread writes stdout under the stdio lock and flushes it; a pipe nobody
// reads fills up). So the control thread formats each line into a fixed buffer (OutputLine) and
// pushes it as one record into a lock-free ring of bytes; a writer thread, started by the
// program's start-up, drains the ring to stdout and stderr in push order. A record that does not
// fit into the ring is dropped and counted, never waited for.
//
// Without a running writer (tests stepping the component on a slave activity) every record is
// written straight to its stream, synchronously, so the output is the same byte for byte.
//
// One producer at a time: the main thread's init() before start, then the control thread. A second
// producer that arrives while a push is under way drops its record rather than waiting.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vb {

enum class OutputStream : unsigned char { kOut = 1, kErr = 2 };

// A lock-free ring of tagged byte records: one producer, one consumer. Each record is its stream
// tag, its length (two bytes) and its text; a record never straddles the producer's view, so the
// consumer only ever sees whole records.
class OutputRing {
 public:
  // Longest record text; longer pushes are refused (and counted as dropped).
  static constexpr std::size_t kMaxRecord = 4096;

  // capacity: bytes of the ring, rounded up to a power of two (at least 64).
  explicit OutputRing(std::size_t capacity);
  OutputRing(const OutputRing&) = delete;
  OutputRing& operator=(const OutputRing&) = delete;

  // Producer. Never blocks, never allocates: false (and one more dropped record) when the text is
  // empty, too long, does not fit, or another producer is pushing right now.
  bool push(OutputStream stream, const char* text, std::size_t size) noexcept;

  // Consumer. Copies the oldest record's text into out (room for kMaxRecord bytes) and returns its
  // length, or 0 when the ring is empty.
  std::size_t pop(OutputStream& stream, char* out) noexcept;

  // Bytes pushed so far (counting headers): a position that pop() has passed once consumed()
  // reaches it.
  std::uint64_t pushed() const noexcept { return head_.load(std::memory_order_acquire); }
  std::uint64_t consumed() const noexcept { return tail_.load(std::memory_order_acquire); }
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  std::size_t capacity() const noexcept { return mask_ + 1; }

 private:
  static constexpr std::size_t kHeader = 3;

  void copyIn(std::uint64_t at, const char* from, std::size_t n) noexcept;
  void copyOut(std::uint64_t at, char* to, std::size_t n) const noexcept;

  std::size_t mask_;
  std::unique_ptr<char[]> bytes_;
  alignas(64) std::atomic<std::uint64_t> head_{0};  // written by the producer only
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // written by the consumer only
  alignas(64) std::atomic<bool> producing_{false};
  std::atomic<std::uint64_t> dropped_{0};
};

// The process's output channel for the control thread.
namespace ControlOutput {

// Starts the writer thread (once; later calls do nothing). Program start-up only: the component
// itself never creates threads.
void startWriter();
// Writes what is left and ends the writer thread; records pushed afterwards go out synchronously.
void stopWriter();
bool writerRunning() noexcept;
// Waits until everything pushed before the call is written and flushed. Not for the control
// thread.
void flush();
// One record. Real-time safe while the writer runs (no waiting, no allocation); without a writer
// it is written and flushed in the caller's thread.
void write(OutputStream stream, const char* text, std::size_t size) noexcept;
// Records dropped so far because the ring was full.
std::uint64_t dropped() noexcept;

}  // namespace ControlOutput

// One output line, formatted into a fixed buffer as stream output with default flags would
// format it (integers in decimal, doubles as "%g", that is six significant digits). The text is
// written as one record when the line is destroyed or send() is called. Real-time safe: nothing
// allocates, nothing throws. Text past the buffer is cut off.
class OutputLine {
 public:
  static constexpr std::size_t kCapacity = 512;

  explicit OutputLine(OutputStream stream = OutputStream::kOut) noexcept : stream_(stream) {}
  OutputLine(const OutputLine&) = delete;
  OutputLine& operator=(const OutputLine&) = delete;
  ~OutputLine() { send(); }

  OutputLine& operator<<(const char* text) noexcept;
  OutputLine& operator<<(char c) noexcept;
  OutputLine& operator<<(int value) noexcept;
  OutputLine& operator<<(unsigned value) noexcept;
  OutputLine& operator<<(long value) noexcept;
  OutputLine& operator<<(unsigned long value) noexcept;
  OutputLine& operator<<(long long value) noexcept;
  OutputLine& operator<<(unsigned long long value) noexcept;
  OutputLine& operator<<(double value) noexcept;

  // Writes the text formatted so far (if any) and starts an empty line.
  void send() noexcept;
  // Drops the text formatted so far, unwritten.
  void clear() noexcept { size_ = 0; }
  const char* data() const noexcept { return text_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void append(const char* text, std::size_t n) noexcept;
  template <class... Args>
  void print(const char* format, Args... args) noexcept;

  OutputStream stream_;
  std::size_t size_ = 0;
  char text_[kCapacity];
};

}  // namespace vb
