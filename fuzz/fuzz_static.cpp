// Static path resolution over a fixed tree made once per process:
//
//   base/root/            the mounted folder
//     a.txt, "a b.txt", .env, IMG.PNG, css/app.css, sub/deeper/x.js
//     in    -> css                 (symbolic link that stays inside)
//     out   -> ../outside          (leads out)
//     outf  -> ../outside/secret.txt
//     pfx   -> ../rootx            (a sibling whose name starts like root)
//     abs   -> /etc
//     loop  -> loop
//   base/outside/secret.txt
//   base/rootx/y.txt
//
// A resolved path must lie inside root by components, be canonical, and
// agree with the C library's realpath on the same decoded text.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "http/static_files.hpp"
#include "percent.hpp"

namespace fs = std::filesystem;

namespace {

std::string g_base, g_root;

void write_file(const fs::path& p, std::string_view body) {
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);
}

void make_tree() {
  char tmpl[] = "/tmp/kiv-fuzz-static.XXXXXX";
  if (!::mkdtemp(tmpl)) std::abort();
  char real[PATH_MAX];
  if (!::realpath(tmpl, real)) std::abort();
  g_base = real;
  g_root = g_base + "/root";
  const fs::path base(g_base), root(g_root);
  fs::create_directories(root / "css");
  fs::create_directories(root / "sub" / "deeper");
  fs::create_directories(base / "outside");
  fs::create_directories(base / "rootx");
  write_file(root / "a.txt", "a");
  write_file(root / "a b.txt", "ab");
  write_file(root / ".env", "env");
  write_file(root / "IMG.PNG", "png");
  write_file(root / "css" / "app.css", "css");
  write_file(root / "sub" / "deeper" / "x.js", "js");
  write_file(base / "outside" / "secret.txt", "secret");
  write_file(base / "rootx" / "y.txt", "y");
  fs::create_directory_symlink("css", root / "in");
  fs::create_directory_symlink("../outside", root / "out");
  fs::create_symlink("../outside/secret.txt", root / "outf");
  fs::create_directory_symlink("../rootx", root / "pfx");
  fs::create_directory_symlink("/etc", root / "abs");
  fs::create_symlink("loop", root / "loop");
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_base, ec);
  });
}

bool starts_with_dir(std::string_view path, std::string_view dir) {
  return path == dir ||
         (path.size() > dir.size() && path.substr(0, dir.size()) == dir && path[dir.size()] == '/');
}

bool has_piece(std::string_view s, std::string_view piece) {
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = s.find('/', start);
    if (s.substr(start, slash - start) == piece) return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

// What resolution must give, worked out with the C library alone.
std::optional<std::string> expected(std::string_view rel) {
  std::string text = kiv::utf8_lossy(kivfuzz::ref_unescape(rel, false));
  if (text.find('\0') != std::string::npos) return std::nullopt;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  if (has_piece(text, "..")) return std::nullopt;
  const std::string joined = !text.empty() && text[0] == '/' ? text : g_root + "/" + text;
  char real[PATH_MAX];
  if (!::realpath(joined.c_str(), real)) return std::nullopt;
  if (!starts_with_dir(real, g_root)) return std::nullopt;
  return std::string(real);
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view rel = kivfuzz::as_view(data, size);
  const auto got = kiv::resolve_static_path(g_root, rel);
  FUZZ_CHECK(got == expected(rel));
  // A trailing "/" on the folder changes nothing; a relative folder holds
  // nothing at all.
  FUZZ_CHECK(kiv::resolve_static_path(g_root + "/", rel) == got);
  FUZZ_CHECK(!kiv::resolve_static_path(g_root.substr(1), rel));

  if (got) {
    const std::string& p = *got;
    FUZZ_CHECK(starts_with_dir(p, g_root));
    FUZZ_CHECK(!starts_with_dir(p, g_base + "/outside") && !starts_with_dir(p, g_base + "/rootx"));
    FUZZ_CHECK(p.find("//") == std::string::npos && p.back() != '/');
    FUZZ_CHECK(!has_piece(p, ".") && !has_piece(p, ".."));
    struct stat st;
    FUZZ_CHECK(::lstat(p.c_str(), &st) == 0 && !S_ISLNK(st.st_mode));
  }

  // Content types: one of the table's (or the default), ASCII case ignored.
  const std::string_view type = kiv::mime_type_for(rel);
  FUZZ_CHECK(!type.empty() && type.find('/') != std::string_view::npos);
  FUZZ_CHECK(kiv::mime_type_for(ascii_upper(rel)) == type);
  if (rel.find('.') == std::string_view::npos) FUZZ_CHECK(type == "application/octet-stream");
  return 0;
}
