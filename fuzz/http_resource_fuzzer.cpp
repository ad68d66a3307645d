// HTTP request targets, as on_http receives them, into the file lookup. Whatever the target, a
// resolved path names a place below <root>/run/dist (judged by walking its segments as the file
// system would), and reading it never yields a file from outside that folder.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "HttpResource.h"

namespace {

std::string g_root;
std::string g_dist;  // g_root + "/run/dist/"

// Files outside the served folder; none of them may ever come back as a body.
const char* const kSecrets[][2] = {
    {"/secret.txt", "root secret"},
    {"/run/secret.txt", "run secret"},
    {"/run/distx/secret.txt", "sibling secret"},
};

[[noreturn]] void fail(const char* what, const std::string& target) {
  std::fprintf(stderr, "http_resource_fuzzer: %s; target of %zu bytes\n", what, target.size());
  std::abort();
}

void write_file(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void remove_root() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

// False when the segments after the folder climb above it, as "a/../../x" does.
bool stays_below(const std::string& rest) {
  long depth = 0;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string segment = rest.substr(start, end - start);
    if (segment == "..") {
      if (--depth < 0) return false;
    } else if (!segment.empty() && segment != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/vb_http_fuzz.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_root = pattern;
  g_dist = g_root + "/run/dist/";
  std::atexit(remove_root);
  write_file(g_dist + "index.html", "<html>ui</html>");
  write_file(g_dist + "img/logo.svg", "<svg/>");
  write_file(g_dist + "a b%.js", "odd name");
  for (const auto& secret : kSecrets) write_file(g_root + secret[0], secret[1]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  const std::optional<vb::HttpFile> file = vb::resolve_resource(g_root, target);
  if (!file) return 0;

  const std::string& path = file->path;
  // resolve_resource adds "/run/dist" and then a path that starts with "/".
  if (path.compare(0, g_dist.size(), g_dist) != 0) fail("path outside the folder's prefix", target);
  if (path.find('\0') != std::string::npos) fail("NUL in the path", target);
  if (!stays_below(path.substr(g_dist.size()))) fail("path climbs out of the folder", target);
  if (file->content_type != vb::content_type_for(path)) fail("content type differs", target);

  const std::optional<std::string> body = vb::read_regular_file(path, file->folder);
  if (body) {
    for (const auto& secret : kSecrets) {
      if (*body == secret[1]) fail("served a file from outside the folder", target);
    }
  }
  return 0;
}
