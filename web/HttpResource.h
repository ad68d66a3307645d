// File lookup of the HTTP side: which file under <root>/run/dist a request target names, with
// what Content-Type, and its bytes. Pure functions, no socket needed.
#pragma once

#include <optional>
#include <string>

namespace vb {

struct HttpFile {
  std::string path;          // file to serve
  std::string folder;        // the UI folder the file must lie in (root + "/run/dist")
  std::string content_type;  // empty for a type we do not know
};

// Maps a request target ("/img/logo.svg?v=2") to a file below root + "/run/dist". The query
// string and fragment are ignored, the path is percent-decoded once, and "/" names index.html.
// Nothing when the decoded path could leave the folder or is not a plain path: a ".." segment,
// a NUL, a backslash, a malformed escape, or a target not starting with "/".
std::optional<HttpFile> resolve_resource(const std::string& root, const std::string& target);

// Content-Type for a file name by its extension (case-insensitive); empty when unknown.
std::string content_type_for(const std::string& path);

// Whole content of a regular file whose real path, every link resolved, lies inside the real
// path of `folder`; nothing when it is missing, elsewhere, not a regular file (a directory, a
// FIFO) or cannot be read.
std::optional<std::string> read_regular_file(const std::string& path, const std::string& folder);

}  // namespace vb
