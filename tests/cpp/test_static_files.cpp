#include <fcntl.h>
#include <gtest/gtest.h>

#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "http/static_files.hpp"

namespace kiv {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kFileTime = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr const char* kFileDate = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

TEST(MimeType, Table) {
  const struct {
    const char* path;
    const char* type;
  } cases[] = {
      {"/srv/IMG.PNG", "image/png"},
      {"/srv/archive.tar.gz", "application/gzip"},
      {"/srv/README", "application/octet-stream"},
      {"/srv/.env", "application/octet-stream"},
      {"/srv/trailing.", "application/octet-stream"},
      {"/srv/x.\xff\xfe", "application/octet-stream"},
      {"/srv/x.d/README", "application/octet-stream"},  // a dot in a folder is no extension
      {"/srv/app.Js", "text/javascript; charset=utf-8"},
      {"/srv/f.woff2", "font/woff2"},
      {"/srv/d.JSON", "application/json"},
      {"/srv/x.jsx", "application/octet-stream"},
      {"/srv/x.woff22", "application/octet-stream"},
      {"/srv/x.averylongextension", "application/octet-stream"},
      {"/srv/.hidden.css", "text/css; charset=utf-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(mime_type_for(c.path), c.type);
  }
}

TEST(DaysFromCivil, KnownDates) {
  const struct {
    std::int64_t y;
    unsigned m, d;
    std::int64_t days;
  } cases[] = {
      {1970, 1, 1, 0},
      {1969, 12, 31, -1},
      {1994, 11, 6, 9075},
      {2000, 2, 29, 11016},
      {2000, 3, 1, 11017},
      {1900, 3, 1, -25508},
      {0, 3, 1, -719468},
      {0, 1, 1, -719528},
      {1, 1, 1, -719162},
      {1970, 1, 0, -1},
      {1970, 2, 0, 30},
      {1970, 1, 32, 31},
      {kI64Max, 12, 31, kI64Max},  // saturates instead of overflowing
      {kI64Min, 1, 1, kI64Min},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.y) + "-" + std::to_string(c.m) + "-" + std::to_string(c.d));
    EXPECT_EQ(days_from_civil(c.y, c.m, c.d), c.days);
  }
}

TEST(IfModifiedSince, Parses) {
  const struct {
    const char* value;
    std::int64_t secs;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", kFileTime},
      {"Xyz, 06 Nov 1994 08:49:37 GMT", kFileTime},  // weekday ignored
      {"Sun, 06 Nov 1994 08:49:37", kFileTime},
      {"Sun, 06 Nov 1994 08:49:37 UTC and more", kFileTime},
      {"  Sun,\t06\v\r\nNov   1994 08:49:37 GMT  ", kFileTime},
      // U+00A0, U+3000, U+2028, U+0085, U+1680, U+200A, U+205F as separators.
      {"Sun,\u00a006\u3000Nov\u2028"
       "1994\u0085\u168008:49:37\u200a\u205fGMT",
       kFileTime},
      {"Sun, 06 Nov 94 08:49:37 GMT", kFileTime},
      {"Sun, 06 Nov 05 08:49:37 GMT", 1131266977},  // 2005
      {"x 1 Jan 69 0:0:0", 3124224000},             // 2069
      {"x 1 Jan 70 0:0:0", 0},                      // 1970
      {"x 1 Jan 100 0:0:0", -59011459200},          // year 100 stays
      {"x +1 Jan 1970 +0:-0:+5", 5},
      {"x 0 Jan 1970 0:0:0", -86400},
      {"x 32 Dec 1969 0:0:0", 0},
      {"x 1 Mar 2000 -1:0:0", 951865200},
      {"x 1 Jan 1970 25:61:61", 25 * 3600 + 61 * 60 + 61},
      {"x 1 Jan 1970 0:0:9223372036854775807", kI64Max},
      {"x 1 Jan 1970 0:0:-9223372036854775808", kI64Min},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const auto got = parse_if_modified_since(c.value);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.secs);
  }
}

TEST(IfModifiedSince, Rejects) {
  const char* cases[] = {
      "",
      "garbage",
      "Sun, 06 Nov 1994",
      "Sunday, 06-Nov-94 08:49:37 GMT",  // obsolete RFC 850 form
      "Sun Nov  6 08:49:37 1994",        // asctime form
      "Sun, 06 nov 1994 08:49:37 GMT",
      "Sun, 06 NOV 1994 08:49:37 GMT",
      "Sun, + Nov 1994 08:49:37 GMT",
      "Sun, 6a Nov 1994 08:49:37 GMT",
      "Sun, 06 Nov 19x4 08:49:37 GMT",
      "Sun, 06 Nov 1994 08:49 GMT",
      "Sun, 06 Nov 1994 08:49:37:00 GMT",
      "Sun, 06 Nov 1994 08::37 GMT",
      "Sun, 06 Nov 1994 08:49:37GMT extra",   // time piece is "08:49:37GMT"
      "Sun, 06\u200b Nov 1994 08:49:37 GMT",  // U+200B is not white space
      "Sun,\x1c"
      "06 Nov 1994 08:49:37 GMT",  // nor is an ASCII information separator
      // Too large for 64 bits, in the digits or in the arithmetic.
      "x 1 Jan 99999999999999999999 0:0:0",
      "x 1 Jan 9223372036854775807 0:0:0",
      "x 1 Jan -9223372036854775808 0:0:0",
      "x 1 Jan 1970 9223372036854775807:0:0",
      "x 9223372036854775807 Jan 1970 0:0:0",
      "x 1 Jan 1970 0:0:9223372036854775808",
      "x 1 Jan 1970 1:0:9223372036854775807",
  };
  for (const char* value : cases) {
    SCOPED_TRACE(value);
    EXPECT_FALSE(parse_if_modified_since(value).has_value());
  }
}

// A scratch tree under /tmp:
//   root/pub            the mounted folder
//   root/pubx/secret    a sibling sharing the folder's name as a prefix
//   root/secret.txt     outside the folder
class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kiv_static_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(::realpath(tmpl, real), nullptr);  // /tmp itself may be a link
    root_ = real;
    pub_ = root_ + "/pub";
    fs::create_directories(pub_ + "/css");
    fs::create_directories(pub_ + "/sub");
    fs::create_directories(root_ + "/pubx");
    write(pub_ + "/app.css", "body{}");
    write(pub_ + "/IMG.PNG", "png");
    write(pub_ + "/archive.tar.gz", "gz");
    write(pub_ + "/README", "readme");
    write(pub_ + "/.env", "env");
    write(pub_ + "/a b.txt", "spaced");
    write(pub_ + "/...", "dots");
    write(pub_ + "/css/app.css", "nested");
    write(pub_ + "/sub/x.txt", "sub");
    write(root_ + "/secret.txt", "secret");
    write(root_ + "/pubx/secret.txt", "sibling");
    fs::create_symlink(root_ + "/secret.txt", pub_ + "/link_out");
    fs::create_symlink("../pubx/secret.txt", pub_ + "/link_sibling");
    fs::create_symlink("css/app.css", pub_ + "/link_in");
    ASSERT_EQ(::mkfifo((pub_ + "/pipe.txt").c_str(), 0600), 0);
    set_mtime(pub_ + "/app.css", kFileTime);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }

  static void set_mtime(const std::string& path, std::int64_t secs) {
    const timespec times[2] = {{static_cast<time_t>(secs), 0}, {static_cast<time_t>(secs), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  std::string root_, pub_;
};

TEST_F(StaticFilesTest, ServesInsideFolder) {
  const struct {
    std::string rel;
    const char* type;
    const char* body;
  } cases[] = {
      {"app.css", "text/css; charset=utf-8", "body{}"},
      {"IMG.PNG", "image/png", "png"},
      {"archive.tar.gz", "application/gzip", "gz"},
      {"README", "application/octet-stream", "readme"},
      {".env", "application/octet-stream", "env"},
      {"a%20b.txt", "text/plain; charset=utf-8", "spaced"},
      {"a+b.txt", nullptr, nullptr},  // "+" is not a space here
      {"css%5capp.css", "text/css; charset=utf-8", "nested"},
      {"css/app.css", "text/css; charset=utf-8", "nested"},
      {"./css//./app.css", "text/css; charset=utf-8", "nested"},
      {"...", "application/octet-stream", "dots"},
      {"%61pp.css", "text/css; charset=utf-8", "body{}"},
      // A link inside the folder is fine; the type follows its target.
      {"link_in", "text/css; charset=utf-8", "nested"},
      // An absolute remainder is allowed when it lies inside the folder.
      {pub_ + "/README", "application/octet-stream", "readme"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rel);
    const auto resp = serve_static_sync(pub_, c.rel, {}, 60);
    if (c.body == nullptr) {
      EXPECT_FALSE(resp.has_value());
      continue;
    }
    ASSERT_TRUE(resp.has_value());
    EXPECT_EQ(resp->status, 200);
    EXPECT_EQ(resp->body, c.body);
    ASSERT_FALSE(resp->headers.empty());
    EXPECT_EQ(resp->headers[0], (std::pair<std::string, std::string>{"Content-Type", c.type}));
  }
}

TEST_F(StaticFilesTest, RefusesEscapesAndNonFiles) {
  const std::string refused[] = {
      "..",
      "../secret.txt",
      "%2e%2e/secret.txt",
      "..%5csecret.txt",
      "..\\secret.txt",
      "css/../../secret.txt",
      "css/%2e%2e/app.css",  // harmless target, still refused
      "%c0%ae%c0%ae/secret.txt",
      "a%00b",
      "app.css%00",
      "link_out",
      "link_sibling",  // "/…/pubx" shares the folder's text as a prefix
      root_ + "/secret.txt",
      root_ + "/pubx/secret.txt",
      "%2f" + root_.substr(1) + "/secret.txt",
      "",
      "sub",
      "missing.txt",
      "app.css/",
      "pipe.txt",  // a FIFO must neither be served nor block
  };
  for (const auto& rel : refused) {
    SCOPED_TRACE(rel);
    EXPECT_FALSE(serve_static_sync(pub_, rel, {}, 60).has_value());
  }
}

TEST_F(StaticFilesTest, ContainmentByComponents) {
  // Folder spellings that name the same directory all work.
  for (const std::string& folder : {pub_, pub_ + "/", pub_ + "//", pub_ + "/./"}) {
    SCOPED_TRACE(folder);
    const auto got = resolve_static_path(folder, "css/app.css");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, pub_ + "/css/app.css");
  }
  // The root folder contains everything.
  const auto any = resolve_static_path("/", root_.substr(1) + "/secret.txt");
  ASSERT_TRUE(any.has_value());
  EXPECT_EQ(*any, root_ + "/secret.txt");
  // The prefix without the separator is not the folder.
  EXPECT_FALSE(resolve_static_path(root_ + "/pub", root_ + "/pubx/secret.txt").has_value());
  EXPECT_TRUE(resolve_static_path(root_ + "/pubx", root_ + "/pubx/secret.txt").has_value());
  // A relative or empty folder contains nothing, even absolute remainders.
  for (const char* folder : {"", ".", "pub"}) {
    SCOPED_TRACE(folder);
    EXPECT_FALSE(resolve_static_path(folder, root_ + "/secret.txt").has_value());
  }
}

TEST_F(StaticFilesTest, ResponseHeadersInOrder) {
  const auto resp = serve_static_sync(pub_, "app.css", {}, 43200);
  ASSERT_TRUE(resp.has_value());
  const HeaderList expected = {{"Content-Type", "text/css; charset=utf-8"},
                               {"Last-Modified", kFileDate},
                               {"Cache-Control", "public, max-age=43200"}};
  ASSERT_EQ(resp->headers.size(), 5u);
  EXPECT_EQ(HeaderList(resp->headers.begin(), resp->headers.begin() + 3), expected);
  EXPECT_EQ(resp->headers[3].first, "ETag");
  EXPECT_EQ(resp->headers[4], (std::pair<std::string, std::string>{"Accept-Ranges", "bytes"}));

  const struct {
    std::int64_t max_age;
    std::optional<std::string> value;
  } cc_cases[] = {{0, "public, max-age=0"},
                  {-1, std::nullopt},
                  {kI64Min, std::nullopt},
                  {kI64Max, "public, max-age=9223372036854775807"}};
  for (const auto& c : cc_cases) {
    SCOPED_TRACE(c.max_age);
    const auto r = serve_static_sync(pub_, "app.css", {}, c.max_age);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->headers.size(), c.value ? 5u : 4u);
    EXPECT_EQ(r->headers[1].first, "Last-Modified");
    if (c.value) {
      EXPECT_EQ(r->headers[2], (std::pair<std::string, std::string>{"Cache-Control", *c.value}));
    }
  }
}

TEST_F(StaticFilesTest, ConditionalRequests) {
  const struct {
    HeaderList headers;
    int status;
  } cases[] = {
      {{}, 200},
      {{{"If-Modified-Since", kFileDate}}, 304},
      {{{"if-modified-since", kFileDate}}, 304},
      {{{"IF-MODIFIED-SINCE", "Sun, 06 Nov 1994 08:49:38 GMT"}}, 304},
      {{{"If-Modified-Since", "Sun, 06 Nov 1994 08:49:36 GMT"}}, 200},
      {{{"If-Modified-Since", "garbage"}}, 200},
      {{{"If-Modified-Since", "Sunday, 06-Nov-94 08:49:37 GMT"}}, 200},
      {{{"If-Modified-Since", "Sun Nov  6 08:49:37 1994"}}, 200},
      {{{"If-Modified-Since-X", kFileDate}}, 200},
      // Only the first header of the name is looked at.
      {{{"If-Modified-Since", "garbage"}, {"If-Modified-Since", kFileDate}}, 200},
      {{{"Accept", "*/*"}, {"If-Modified-Since", kFileDate}, {"If-Modified-Since", "x"}}, 304},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers.empty() ? std::string("no header") : c.headers.back().second);
    const auto resp = serve_static_sync(pub_, "app.css", c.headers, 60);
    ASSERT_TRUE(resp.has_value());
    EXPECT_EQ(resp->status, c.status);
    if (c.status == 304) {
      ASSERT_EQ(resp->headers.size(), 1u);
      EXPECT_EQ(resp->headers[0].first, "ETag");
      EXPECT_TRUE(resp->body.empty());
    } else {
      EXPECT_EQ(resp->body, "body{}");
    }
  }
}

TEST_F(StaticFilesTest, TimesBeforeEpochCountAsZero) {
  set_mtime(pub_ + "/README", -1000);
  const auto resp = serve_static_sync(pub_, "README", {}, -1);
  ASSERT_TRUE(resp.has_value());
  ASSERT_EQ(resp->headers.size(), 4u);
  EXPECT_EQ(resp->headers[1].second, "Thu, 01 Jan 1970 00:00:00 GMT");
  const auto cond = serve_static_sync(pub_, "README",
                                      {{"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}}, -1);
  ASSERT_TRUE(cond.has_value());
  EXPECT_EQ(cond->status, 304);
}

TEST_F(StaticFilesTest, LargeFilesGoByDescriptorEmptyOnesWhole) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 12));
  write(pub_ + "/big.bin", big);
  write(pub_ + "/empty.txt", "");
  const auto resp = serve_static_sync(pub_, "big.bin", {}, 0);
  ASSERT_TRUE(resp.has_value() && resp->file);
  EXPECT_TRUE(resp->body.empty());
  ASSERT_EQ(resp->file->length, big.size());
  std::string back(big.size(), '\0');
  EXPECT_EQ(::pread(resp->file->fd, back.data(), back.size(), 0),
            static_cast<ssize_t>(big.size()));
  EXPECT_TRUE(back == big);
  const auto empty = serve_static_sync(pub_, "empty.txt", {}, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->status, 200);
  EXPECT_TRUE(empty->body.empty());
}

TEST(StaticFilesProc, ReadsFilesReportingSizeZero) {
  // procfs reports size 0 for files that do have content; the read must not
  // trust the size.
  struct stat st;
  if (::stat("/proc/self/status", &st) != 0 || st.st_size != 0) GTEST_SKIP();
  char self[PATH_MAX];
  ASSERT_NE(::realpath("/proc/self", self), nullptr);  // folders arrive canonical
  const auto resp = serve_static_sync(self, "status", {}, 0);
  ASSERT_TRUE(resp.has_value());
  EXPECT_NE(resp->body.find("Name:"), std::string::npos);
}

// Validators and single ranges; "$tag" and "$date" stand for the file's own
// ETag and Last-Modified. app.css holds "body{}" (6 bytes).
struct RangeCase {
  std::vector<std::pair<std::string, std::string>> headers;
  int status;
  std::string body, content_range;  // content_range "" when absent
};

class StaticRanges : public StaticFilesTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(StaticRanges, Answer) {
  const auto plain = serve_static_sync(pub_, "app.css", {}, 60);
  ASSERT_TRUE(plain.has_value());
  const std::string tag = plain->headers[3].second, date = plain->headers[1].second;
  HeaderList headers;
  for (auto [name, value] : GetParam().headers) {
    if (value.find("$tag") != std::string::npos) value.replace(value.find("$tag"), 4, tag);
    if (value == "$date") value = date;
    headers.emplace_back(name, value);
  }
  const auto resp = serve_static_sync(pub_, "app.css", headers, 60);
  ASSERT_TRUE(resp.has_value());
  EXPECT_EQ(resp->status, GetParam().status);
  EXPECT_EQ(resp->body, GetParam().body);
  std::string range;
  for (const auto& [name, value] : resp->headers)
    if (name == "Content-Range") range = value;
  EXPECT_EQ(range, GetParam().content_range);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StaticRanges,
    ::testing::Values(
        RangeCase{{{"If-None-Match", "$tag"}}, 304, "", ""},
        RangeCase{{{"If-None-Match", "\"x\", W/$tag"}}, 304, "", ""},
        RangeCase{{{"If-None-Match", "*"}}, 304, "", ""},
        RangeCase{{{"If-None-Match", "\"other\""}, {"If-Modified-Since", "$date"}}, 200, "body{}", ""},
        RangeCase{{{"Range", "bytes=1-3"}}, 206, "ody", "bytes 1-3/6"},
        RangeCase{{{"Range", "bytes=4-"}}, 206, "{}", "bytes 4-5/6"},
        RangeCase{{{"Range", "bytes=-2"}}, 206, "{}", "bytes 4-5/6"},
        RangeCase{{{"Range", "bytes=-99"}}, 206, "body{}", "bytes 0-5/6"},
        RangeCase{{{"Range", "bytes=2-99"}}, 206, "dy{}", "bytes 2-5/6"},
        RangeCase{{{"Range", "bytes=6-"}}, 416, "", "bytes */6"},
        RangeCase{{{"Range", "bytes=-0"}}, 416, "", "bytes */6"},
        RangeCase{{{"Range", "bytes=0-1,3-4"}}, 200, "body{}", ""},
        RangeCase{{{"Range", "bytes=3-1"}}, 200, "body{}", ""},
        RangeCase{{{"Range", "items=0-1"}}, 200, "body{}", ""},
        RangeCase{{{"Range", "bytes=0-1"}, {"If-Range", "$tag"}}, 206, "bo", "bytes 0-1/6"},
        RangeCase{{{"Range", "bytes=0-1"}, {"If-Range", "$date"}}, 206, "bo", "bytes 0-1/6"},
        RangeCase{{{"Range", "bytes=0-1"}, {"If-Range", "\"stale\""}}, 200, "body{}", ""},
        RangeCase{{{"Range", "bytes=0-1"}, {"If-Range", "W/$tag"}}, 200, "body{}", ""}));

}  // namespace
}  // namespace kiv
