#include "HttpResource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace vb {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out.push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return std::nullopt;
    const int hi = hex_value(in[i + 1]);
    const int lo = hex_value(in[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// True when any '/'-separated segment is "..".
bool has_parent_segment(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start == 2 && path.compare(start, 2, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// Whole content of the file at `path`; nothing when it cannot be opened or read.
std::optional<std::string> read_open(const std::string& path) {
  // O_NONBLOCK so that a FIFO cannot hang the web thread on open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> content;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string data;
    // Read into place: growing by doubling would hold up to three times the file for a moment.
    if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        data.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0) {
        content = std::move(data);
        break;
      } else if (errno != EINTR) {
        break;
      }
    }
  }
  ::close(fd);
  return content;
}

}  // namespace

std::optional<HttpFile> resolve_resource(const std::string& root, const std::string& target) {
  const std::string raw = target.substr(0, target.find_first_of("?#"));
  if (raw.empty() || raw[0] != '/') return std::nullopt;
  std::optional<std::string> path = percent_decode(raw);
  if (!path) return std::nullopt;
  if (path->find('\0') != std::string::npos || path->find('\\') != std::string::npos ||
      has_parent_segment(*path)) {
    return std::nullopt;
  }
  if (*path == "/") *path = "/index.html";
  HttpFile file;
  file.folder = root + "/run/dist";
  file.path = file.folder + *path;
  file.content_type = content_type_for(*path);
  return file;
}

std::string content_type_for(const std::string& path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"mjs", "text/javascript; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"json", "application/json"},
      {"map", "application/json"},
      {"svg", "image/svg+xml"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"ico", "image/x-icon"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"wasm", "application/wasm"},
      {"txt", "text/plain; charset=utf-8"},
  };
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const auto& [name, type] : kTypes) {
    if (ext == name) return type;
  }
  return {};
}

std::optional<std::string> read_regular_file(const std::string& path, const std::string& folder) {
  char* real_folder = ::realpath(folder.c_str(), nullptr);
  if (real_folder == nullptr) return std::nullopt;
  std::string inside = real_folder;
  std::free(real_folder);
  if (inside.back() != '/') inside += '/';

  // O_PATH opens nothing behind the name (no device, no FIFO reader), so the checks come before
  // any effect of opening it; the file then read is the very one checked, whatever is renamed or
  // relinked in between.
  const int where = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (where < 0) return std::nullopt;
  const std::string handle = "/proc/self/fd/" + std::to_string(where);
  struct stat st {};
  std::optional<std::string> content;
  char real[PATH_MAX];
  const ssize_t len = ::readlink(handle.c_str(), real, sizeof real);
  if (len > 0 && static_cast<std::size_t>(len) < sizeof real &&
      std::string(real, static_cast<std::size_t>(len)).compare(0, inside.size(), inside) == 0 &&
      ::fstat(where, &st) == 0 && S_ISREG(st.st_mode)) {
    content = read_open(handle);
  }
  ::close(where);
  return content;
}

}  // namespace vb
