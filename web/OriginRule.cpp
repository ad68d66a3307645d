#include "OriginRule.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace vb {

namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A name as compared: the trailing dot of a fully qualified spelling does not make it another.
std::string without_trailing_dot(std::string name) {
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
}

struct Authority {
  std::string host;  // lower case, IPv6 without brackets
  bool bracketed = false;
};

// "host", "host:port", "[v6]" or "[v6]:port"; nothing when malformed.
std::optional<Authority> parse_authority(const std::string& text) {
  Authority a;
  std::string rest;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    a.host = text.substr(1, close - 1);
    a.bracketed = true;
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    a.host = text.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : text.substr(colon);
  }
  if (a.host.empty() || a.host.find_first_of("/@?# []") != std::string::npos) return std::nullopt;
  a.host = lower(a.host);
  if (!rest.empty()) {
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
    unsigned port = 0;
    for (std::size_t i = 1; i < rest.size(); ++i) {
      if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
      port = port * 10 + static_cast<unsigned>(rest[i] - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
  }
  // An IPv6 address only in brackets, a colon-free name only without.
  in6_addr v6{};
  if (a.bracketed != (::inet_pton(AF_INET6, a.host.c_str(), &v6) == 1)) return std::nullopt;
  return a;
}

bool is_ipv4(const std::string& host, in_addr* addr) {
  return ::inet_pton(AF_INET, host.c_str(), addr) == 1;
}

bool is_ip_literal(const Authority& a) {
  in_addr v4{};
  return a.bracketed || is_ipv4(a.host, &v4);
}

bool is_loopback(const Authority& a) {
  if (a.host == "localhost") return true;
  in_addr v4{};
  if (is_ipv4(a.host, &v4)) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (a.bracketed && ::inet_pton(AF_INET6, a.host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

OriginRule::OriginRule(std::vector<std::string> listed, std::vector<std::string> own_names)
    : _listed(std::move(listed)) {
  for (const std::string& entry : _listed) _any = _any || entry == "*";
  for (const std::string& name : own_names) {
    if (!name.empty()) _own_names.push_back(without_trailing_dot(lower(name)));
  }
}

std::vector<std::string> OriginRule::own_names() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  const std::string host = name;
  std::vector<std::string> names = {host, host.substr(0, host.find('.')) + ".local"};

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
      if (a->ai_canonname != nullptr) names.emplace_back(a->ai_canonname);
    }
    ::freeaddrinfo(found);
  }
  hostent entry{};
  hostent* result = nullptr;
  char buffer[16384];
  int error = 0;
  if (::gethostbyname_r(name, &entry, buffer, sizeof buffer, &result, &error) == 0 &&
      result != nullptr) {
    if (result->h_name != nullptr) names.emplace_back(result->h_name);
    for (char** alias = result->h_aliases; alias != nullptr && *alias != nullptr; ++alias) {
      names.emplace_back(*alias);
    }
  }
  return names;
}

OriginRule OriginRule::from_environment() {
  std::vector<std::string> listed;
  const char* text = std::getenv("VB_WEB_ORIGINS");
  std::string rest = text == nullptr ? "" : text;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string entry = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    const std::size_t first = entry.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    listed.push_back(entry.substr(first, entry.find_last_not_of(' ') - first + 1));
  }
  return OriginRule(std::move(listed), own_names());
}

bool OriginRule::allows(const std::string& origin, const std::string& host) const {
  if (origin.empty() || _any) return true;
  for (const std::string& entry : _listed) {
    if (origin == entry) return true;
  }
  const std::size_t sep = origin.find("://");
  if (sep == std::string::npos) return false;  // also the opaque origin "null"
  const std::string scheme = lower(origin.substr(0, sep));
  if (scheme != "http" && scheme != "https" && scheme != "ws" && scheme != "wss") return false;
  const std::optional<Authority> from = parse_authority(origin.substr(sep + 3));
  const std::optional<Authority> to = parse_authority(host);
  if (!from || !to) return false;
  if (is_loopback(*from) && is_loopback(*to)) return true;
  const std::string name = without_trailing_dot(to->host);
  if (without_trailing_dot(from->host) != name) return false;
  if (is_ip_literal(*to) || name == "localhost") return true;
  for (const std::string& own : _own_names) {
    if (name == own) return true;
  }
  return false;
}

}  // namespace vb
