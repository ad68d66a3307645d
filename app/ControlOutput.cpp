#include "ControlOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace vb {

namespace {

std::size_t roundedCapacity(std::size_t wanted) {
  std::size_t c = 64;
  while (c < wanted) c <<= 1;
  return c;
}

}  // namespace

OutputRing::OutputRing(std::size_t capacity)
    : mask_(roundedCapacity(capacity) - 1), bytes_(new char[mask_ + 1]) {}

void OutputRing::copyIn(std::uint64_t at, const char* from, std::size_t n) noexcept {
  const std::size_t start = static_cast<std::size_t>(at) & mask_;
  const std::size_t first = std::min(n, mask_ + 1 - start);
  std::memcpy(bytes_.get() + start, from, first);
  std::memcpy(bytes_.get(), from + first, n - first);
}

void OutputRing::copyOut(std::uint64_t at, char* to, std::size_t n) const noexcept {
  const std::size_t start = static_cast<std::size_t>(at) & mask_;
  const std::size_t first = std::min(n, mask_ + 1 - start);
  std::memcpy(to, bytes_.get() + start, first);
  std::memcpy(to + first, bytes_.get(), n - first);
}

bool OutputRing::push(OutputStream stream, const char* text, std::size_t size) noexcept {
  // A second producer never waits for the first: it drops its record instead.
  if (producing_.exchange(true, std::memory_order_acquire)) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  bool stored = false;
  if (size > 0 && size <= kMaxRecord) {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::uint64_t free_bytes = capacity() - (head - tail);
    if (kHeader + size <= free_bytes) {
      const char header[kHeader] = {static_cast<char>(stream), static_cast<char>(size & 0xff),
                                    static_cast<char>(size >> 8)};
      copyIn(head, header, kHeader);
      copyIn(head + kHeader, text, size);
      head_.store(head + kHeader + size, std::memory_order_release);
      stored = true;
    }
  }
  producing_.store(false, std::memory_order_release);
  if (!stored) dropped_.fetch_add(1, std::memory_order_relaxed);
  return stored;
}

std::size_t OutputRing::pop(OutputStream& stream, char* out) noexcept {
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  const std::uint64_t head = head_.load(std::memory_order_acquire);
  if (head == tail) return 0;
  char header[kHeader];
  copyOut(tail, header, kHeader);
  stream =
      header[0] == static_cast<char>(OutputStream::kErr) ? OutputStream::kErr : OutputStream::kOut;
  const std::size_t size = static_cast<unsigned char>(header[1]) |
                           (static_cast<std::size_t>(static_cast<unsigned char>(header[2])) << 8);
  copyOut(tail + kHeader, out, size);
  tail_.store(tail + kHeader + size, std::memory_order_release);
  return size;
}

namespace ControlOutput {
namespace {

// Room for a few seconds of the busiest printing (a status line every cycle).
constexpr std::size_t kRingBytes = std::size_t{1} << 16;
constexpr auto kIdleSleep = std::chrono::milliseconds(1);

OutputRing& ring() {
  static OutputRing r(kRingBytes);
  return r;
}

std::atomic<bool> running{false};
std::atomic<bool> stopping{false};
std::atomic<std::uint64_t> written{0};  // ring position written and flushed by the writer
std::mutex lifecycle;                   // start and stop only
std::thread* writer = nullptr;          // under lifecycle
std::uint64_t reported_drops = 0;       // writer thread (or stopWriter after the join)

std::FILE* fileOf(OutputStream stream) { return stream == OutputStream::kErr ? stderr : stdout; }

// Writes every record in the ring in push order; whether there were any.
bool drainOnce(char* text) {
  bool wrote = false;
  OutputStream last = OutputStream::kOut;
  OutputStream stream = OutputStream::kOut;
  std::size_t n;
  while ((n = ring().pop(stream, text)) > 0) {
    // Both streams may end in one pipe: flush one before the other takes over.
    if (wrote && stream != last) std::fflush(fileOf(last));
    std::fwrite(text, 1, n, fileOf(stream));
    last = stream;
    wrote = true;
  }
  if (wrote) std::fflush(fileOf(last));
  const std::uint64_t drops = ring().dropped();
  if (drops != reported_drops) {
    std::fprintf(stderr, "control output: %llu lines dropped\n",
                 static_cast<unsigned long long>(drops - reported_drops));
    reported_drops = drops;
  }
  written.store(ring().consumed(), std::memory_order_release);
  return wrote;
}

void writerLoop() {
  static char text[OutputRing::kMaxRecord];
  for (;;) {
    // Seen before the last drain: whatever was pushed before the stop request gets written.
    const bool last_round = stopping.load(std::memory_order_acquire);
    const bool wrote = drainOnce(text);
    if (last_round) return;
    if (!wrote) std::this_thread::sleep_for(kIdleSleep);
  }
}

}  // namespace

void startWriter() {
  std::lock_guard<std::mutex> lock(lifecycle);
  if (writer != nullptr) return;
  ring();  // allocated here, never on the control thread
  stopping.store(false, std::memory_order_release);
  writer = new std::thread(writerLoop);
  running.store(true, std::memory_order_release);
}

void stopWriter() {
  std::lock_guard<std::mutex> lock(lifecycle);
  if (writer == nullptr) return;
  stopping.store(true, std::memory_order_release);
  writer->join();
  delete writer;
  writer = nullptr;
  running.store(false, std::memory_order_release);
  // Records pushed between the writer's last round and the switch back to direct writes.
  static char text[OutputRing::kMaxRecord];
  drainOnce(text);
}

bool writerRunning() noexcept { return running.load(std::memory_order_acquire); }

void flush() {
  if (!writerRunning()) {
    std::fflush(stdout);
    std::fflush(stderr);
    return;
  }
  const std::uint64_t target = ring().pushed();
  while (written.load(std::memory_order_acquire) < target && writerRunning()) {
    std::this_thread::sleep_for(kIdleSleep);
  }
}

void write(OutputStream stream, const char* text, std::size_t size) noexcept {
  if (size == 0) return;
  if (writerRunning()) {
    ring().push(stream, text, size);  // a full ring drops and counts the record
    return;
  }
  std::FILE* file = fileOf(stream);
  std::fwrite(text, 1, size, file);
  std::fflush(file);
}

std::uint64_t dropped() noexcept { return ring().dropped(); }

}  // namespace ControlOutput

void OutputLine::append(const char* text, std::size_t n) noexcept {
  const std::size_t room = kCapacity - size_;
  const std::size_t taken = n < room ? n : room;
  std::memcpy(text_ + size_, text, taken);
  size_ += taken;
}

OutputLine& OutputLine::operator<<(const char* text) noexcept {
  if (text != nullptr) append(text, std::strlen(text));
  return *this;
}

OutputLine& OutputLine::operator<<(char c) noexcept {
  append(&c, 1);
  return *this;
}

// snprintf into a stack buffer: the C library's conversions, which stream output itself uses, so
// the digits are the same; none of these allocate.
template <class... Args>
void OutputLine::print(const char* format, Args... args) noexcept {
  char buf[48];
  const int n = std::snprintf(buf, sizeof buf, format, args...);
  if (n <= 0) return;
  append(buf,
         static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

OutputLine& OutputLine::operator<<(int value) noexcept {
  print("%d", value);
  return *this;
}

OutputLine& OutputLine::operator<<(unsigned value) noexcept {
  print("%u", value);
  return *this;
}

OutputLine& OutputLine::operator<<(long value) noexcept {
  print("%ld", value);
  return *this;
}

OutputLine& OutputLine::operator<<(unsigned long value) noexcept {
  print("%lu", value);
  return *this;
}

OutputLine& OutputLine::operator<<(long long value) noexcept {
  print("%lld", value);
  return *this;
}

OutputLine& OutputLine::operator<<(unsigned long long value) noexcept {
  print("%llu", value);
  return *this;
}

OutputLine& OutputLine::operator<<(double value) noexcept {
  // Stream output's default float field: "%.*g" at its default precision, 6.
  print("%.*g", 6, value);
  return *this;
}

void OutputLine::send() noexcept {
  if (size_ == 0) return;
  ControlOutput::write(stream_, text_, size_);
  size_ = 0;
}

}  // namespace vb
