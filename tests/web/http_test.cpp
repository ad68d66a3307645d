// HTTP file serving over a raw TCP client (request targets go out exactly as written, with no
// client-side normalisation), and the lookup functions on their own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "HttpResource.h"
#include "web_test_util.h"

using vb::webtest::fixture_root;
using vb::webtest::http_request;
using vb::webtest::read_file;
using vb::webtest::RunningServer;

namespace {

std::string dist(const std::string& name) { return fixture_root() + "/run/dist/" + name; }

TEST(HttpServing, AnswersFromTheUiFolder) {
  RunningServer running;
  ASSERT_NE(running.port, 0);
  const std::string index = read_file(dist("index.html"));
  const std::string svg = read_file(dist("img/logo.svg"));
  const std::string script = read_file(dist("app.mjs"));
  ASSERT_FALSE(index.empty());
  ASSERT_FALSE(svg.empty());

  struct Row {
    const char* method;
    const char* target;
    int status;
    const char* type;  // expected Content-Type
    std::string body;  // expected body when 200
  };
  const char* html = "text/html; charset=utf-8";
  const char* js = "text/javascript; charset=utf-8";
  const char* plain = "text/plain; charset=utf-8";
  const Row rows[] = {
      {"GET", "/", 200, html, index},
      {"GET", "/index.html", 200, html, index},
      {"POST", "/index.html", 200, html, index},  // the method is not looked at
      {"GET", "/img/logo.svg", 200, "image/svg+xml", svg},
      {"GET", "/img/logo.svg?v=2", 200, "image/svg+xml", svg},
      {"GET", "/img/logo.svg#top", 200, "image/svg+xml", svg},
      {"GET", "/img/logo%2Esvg", 200, "image/svg+xml", svg},
      {"GET", "/?lang=en", 200, html, index},
      {"GET", "/app.mjs", 200, js, script},
      {"GET", "/missing.js", 404, plain, ""},
      {"GET", "/img", 404, plain, ""},
      {"GET", "/img/", 404, plain, ""},
      {"GET", "/../secret.txt", 404, plain, ""},
      {"GET", "/img/../../secret.txt", 404, plain, ""},
      {"GET", "/%2e%2e/secret.txt", 404, plain, ""},
      {"GET", "/%2E%2E%2Fsecret.txt", 404, plain, ""},
      {"GET", "/..%2fsecret.txt", 404, plain, ""},
      {"GET", "/%252e%252e/secret.txt", 404, plain, ""},
      {"GET", "/img%5c..%5c..%5csecret.txt", 404, plain, ""},
      {"GET", "/index.html%00.txt", 404, plain, ""},
      {"GET", "/bad%zz", 404, plain, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.method) + " " + r.target);
    auto response = http_request(running.port, r.method, r.target);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, r.status);
    EXPECT_EQ(response->headers["content-type"], r.type);
    if (r.status == 200) {
      EXPECT_EQ(response->body, r.body);
    } else {
      EXPECT_EQ(response->body.find("outside the UI folder"), std::string::npos);
    }
    EXPECT_EQ(response->headers["content-length"], std::to_string(response->body.size()));
  }
}

TEST(ResolveResource, MapsTargetsBelowTheUiFolder) {
  struct Row {
    const char* target;
    const char* path;  // nullptr: refused
    const char* type;
  };
  const Row rows[] = {
      {"/", "/r/run/dist/index.html", "text/html; charset=utf-8"},
      {"/a/b.CSS?x#y", "/r/run/dist/a/b.CSS", "text/css; charset=utf-8"},
      {"/a%20b.json", "/r/run/dist/a b.json", "application/json"},
      {"/x.js.map", "/r/run/dist/x.js.map", "application/json"},
      {"/f.woff2", "/r/run/dist/f.woff2", "font/woff2"},
      {"/m.wasm", "/r/run/dist/m.wasm", "application/wasm"},
      {"/p.PNG", "/r/run/dist/p.PNG", "image/png"},
      {"/p.jpg", "/r/run/dist/p.jpg", "image/jpeg"},
      {"/favicon.ico", "/r/run/dist/favicon.ico", "image/x-icon"},
      {"/noext", "/r/run/dist/noext", ""},
      {"/dir.d/noext", "/r/run/dist/dir.d/noext", ""},
      {"/vg", "/r/run/dist/vg", ""},
      {"/..foo", "/r/run/dist/..foo", ""},  // a name, not a parent segment
      {"/./a.txt", "/r/run/dist/./a.txt", "text/plain; charset=utf-8"},
      {"/%252e%252e/x", "/r/run/dist/%2e%2e/x", ""},  // decoded once only
      {"", nullptr, nullptr},
      {"?x", nullptr, nullptr},
      {"x", nullptr, nullptr},
      {"http://host/a", nullptr, nullptr},
      {"/..", nullptr, nullptr},
      {"/../", nullptr, nullptr},
      {"/a/%2e%2E", nullptr, nullptr},
      {"/a\\b", nullptr, nullptr},
      {"/a%5Cb", nullptr, nullptr},
      {"/a%00b", nullptr, nullptr},
      {"/a%", nullptr, nullptr},
      {"/a%4", nullptr, nullptr},
      {"/a%g1", nullptr, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.target);
    const auto file = vb::resolve_resource("/r", r.target);
    if (r.path == nullptr) {
      EXPECT_FALSE(file);
      continue;
    }
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path, r.path);
    EXPECT_EQ(file->content_type, r.type);
  }
}

TEST(ReadRegularFile, ServesOnlyReadableRegularFiles) {
  char dir_template[] = "/tmp/vb_web_read_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  ASSERT_NE(dir, nullptr);
  const std::string base = dir;
  const std::string fifo = base + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string empty = base + "/empty.txt";
  {
    FILE* f = std::fopen(empty.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  const std::string binary = base + "/bytes.bin";
  const std::string bytes("a\0b\xff", 4);
  {
    FILE* f = std::fopen(binary.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }

  EXPECT_FALSE(vb::read_regular_file(base, base));            // a directory
  EXPECT_FALSE(vb::read_regular_file(fifo, base));            // must not block on open
  EXPECT_FALSE(vb::read_regular_file(base + "/none", base));  // missing
  EXPECT_EQ(vb::read_regular_file(empty, base), std::string());
  EXPECT_EQ(vb::read_regular_file(binary, base), bytes);

  ::unlink(fifo.c_str());
  ::unlink(empty.c_str());
  ::unlink(binary.c_str());
  ::rmdir(dir);
}

// Links are followed, and the file read is served only when its real path lies in the folder.
TEST(ReadRegularFile, FollowsLinksOnlyWithinTheFolder) {
  char dir_template[] = "/tmp/vb_web_links_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  ASSERT_NE(dir, nullptr);
  const std::filesystem::path base = dir;
  const std::filesystem::path real = base / "real";  // the folder's content
  const std::filesystem::path folder = base / "dist";
  std::filesystem::create_directories(real / "img");
  std::filesystem::create_directories(base / "elsewhere");
  std::filesystem::create_directory_symlink("real", folder);  // the folder itself may be a link
  const auto write = [](const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
  };
  write(real / "img/logo.svg", "<svg/>");
  write(base / "elsewhere/secret.txt", "secret");
  write(base / "real.txt", "beside");
  std::filesystem::create_symlink("img/logo.svg", real / "alias.svg");
  std::filesystem::create_symlink(real / "img/logo.svg", real / "absolute.svg");
  std::filesystem::create_directory_symlink("img", real / "pictures");
  std::filesystem::create_symlink("alias.svg", real / "chain.svg");
  std::filesystem::create_directory_symlink("/etc", real / "etcdir");
  std::filesystem::create_directory_symlink(base / "elsewhere", real / "outdir");
  std::filesystem::create_symlink("../elsewhere/secret.txt", real / "up.txt");
  std::filesystem::create_symlink("../real.txt", real / "prefix.txt");  // "real" + ".txt"
  std::filesystem::create_symlink("/etc/passwd", real / "passwd");
  std::filesystem::create_symlink("missing", real / "dangling");

  struct Row {
    const char* name;
    std::optional<std::string> body;
  };
  const Row rows[] = {
      {"img/logo.svg", "<svg/>"},
      {"alias.svg", "<svg/>"},
      {"absolute.svg", "<svg/>"},
      {"pictures/logo.svg", "<svg/>"},
      {"chain.svg", "<svg/>"},
      {"etcdir/passwd", std::nullopt},
      {"outdir/secret.txt", std::nullopt},
      {"up.txt", std::nullopt},
      {"prefix.txt", std::nullopt},
      {"passwd", std::nullopt},
      {"dangling", std::nullopt},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(vb::read_regular_file((folder / r.name).string(), folder.string()), r.body) << r.name;
  }
  // The same files, asked for through the folder's own real path.
  EXPECT_EQ(vb::read_regular_file((real / "alias.svg").string(), folder.string()), "<svg/>");
  EXPECT_FALSE(vb::read_regular_file((real / "up.txt").string(), real.string()));
  EXPECT_FALSE(vb::read_regular_file((folder / "img/logo.svg").string(), (base / "none").string()));

  std::filesystem::remove_all(base);
}

}  // namespace
