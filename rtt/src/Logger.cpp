#include <rtt/Logger.hpp>

namespace RTT {

Logger::In::In(const std::string&) {}
Logger::In::~In() = default;

}  // namespace RTT
