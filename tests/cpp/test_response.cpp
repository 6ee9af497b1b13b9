#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "http/response.hpp"

namespace kiv {
namespace {

std::int64_t wall_secs() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Replaces the value of the "Date: " line by "<date>" and returns that value.
std::string cut_date(std::string& wire) {
  const auto at = wire.find("\r\nDate: ");
  if (at == std::string::npos) return {};
  const auto from = at + 8;
  const auto to = wire.find("\r\n", from);
  std::string date = wire.substr(from, to - from);
  wire.replace(from, to - from, "<date>");
  return date;
}

TEST(Reason, SpotChecks) {
  const std::pair<std::uint16_t, std::string_view> cases[] = {
      {200, "OK"},
      {413, "Content Too Large"},
      {418, "I'm a Teapot"},
      {422, "Unprocessable Content"},
      {431, "Request Header Fields Too Large"},
      {504, "Gateway Timeout"},
      {299, "Unknown"},
      {412, "Unknown"},
      {65535, "Unknown"},
  };
  for (const auto& [code, text] : cases) {
    SCOPED_TRACE(code);
    EXPECT_EQ(reason_phrase(code), text);
  }
}

TEST(SimplePages, ExactPages) {
  struct Case {
    std::uint16_t status;
    std::size_t length;
    std::string_view title_line;
  };
  const Case cases[] = {
      {400, 167, "<title>400 Bad Request</title>"},
      {413, 133, "<title>413 Content Too Large</title>"},
      {431, 171, "<title>431 Request Header Fields Too Large</title>"},
      {500, 192, "<title>500 Internal Server Error</title>"},
      {408, 192, "<title>500 Internal Server Error</title>"},
      {414, 123, "<title>414 URI Too Long</title>"},
      {501, 165, "<title>501 Not Implemented</title>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const ResponseOut r = simple(c.status);
    EXPECT_EQ(r.status, c.status);
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].first, "Content-Type");
    EXPECT_EQ(r.headers[0].second, "text/html; charset=utf-8");
    EXPECT_EQ(r.body.size(), c.length);
    EXPECT_EQ(r.body.rfind("<!doctype html>\n<html lang=en>\n", 0), 0u);
    EXPECT_NE(r.body.find(std::string("\n") + std::string(c.title_line) + "\n"), std::string::npos);
    EXPECT_EQ(r.body.back(), '\n');
  }
  EXPECT_EQ(simple(413).body,
            "<!doctype html>\n<html lang=en>\n<title>413 Content Too Large</title>\n"
            "<h1>Content Too Large</h1>\n<p>The request body is too large.</p>\n");
}

TEST(Serialize, FixedPage400) {
  std::string wire;
  serialize_response(simple(400), false, false, wire);
  const std::string date = cut_date(wire);
  EXPECT_EQ(wire,
            "HTTP/1.1 400 Bad Request\r\n"
            "Server: kiv/0.1.0\r\n"
            "Date: <date>\r\n"
            "Content-Length: 167\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "\r\n"
            "<!doctype html>\n"
            "<html lang=en>\n"
            "<title>400 Bad Request</title>\n"
            "<h1>Bad Request</h1>\n"
            "<p>The browser (or proxy) sent a request that this server could not "
            "understand.</p>\n");
  EXPECT_EQ(date.size(), 29u);
  EXPECT_EQ(date.substr(date.size() - 4), " GMT");
}

TEST(Serialize, EngineOwnedHeadersDroppedOthersInOrder) {
  ResponseOut r;
  r.status = 201;
  r.body = "hello";
  r.headers = {{"X-Date", "kept"},
               {"Content-Length", "5"},
               {"connection", "close"},
               {"DATE", "x"},
               {"Server", "other"},
               {"Keep-Alive", "timeout=5"},
               {"transfer-encoding", "chunked"},
               {"X-A", "1"},
               {"x-a", "2"},
               {"Content-Type", "text/plain"}};
  std::string wire = "prefix|";  // appends, never overwrites
  serialize_response(r, true, false, wire);
  cut_date(wire);
  EXPECT_EQ(wire,
            "prefix|HTTP/1.1 201 Created\r\nServer: kiv/0.1.0\r\nDate: <date>\r\n"
            "Content-Length: 5\r\nConnection: keep-alive\r\n"
            "X-Date: kept\r\nX-A: 1\r\nx-a: 2\r\nContent-Type: text/plain\r\n\r\nhello");
}

TEST(Serialize, HeadOnlyAnnouncesFullLength) {
  ResponseOut r;
  r.body.assign(1000, 'x');
  std::string wire;
  serialize_response(r, true, true, wire);
  EXPECT_NE(wire.find("\r\nContent-Length: 1000\r\n"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");
  EXPECT_EQ(wire.find('x'), std::string::npos);
}

TEST(Serialize, LongStatusCodeAndEmptyBody) {
  ResponseOut r;
  r.status = 1000;
  std::string wire;
  serialize_response(r, false, false, wire);
  EXPECT_EQ(wire.rfind("HTTP/1.1 1000 Unknown\r\n", 0), 0u);
  EXPECT_EQ(wire.substr(wire.size() - 42), "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(Serialize, LineBreaksInProducedHeadersCannotSplitTheResponse) {
  ResponseOut r;
  r.headers = {
      {"Location", "/x\r\nSet-Cookie: a=b"}, {"X\nY", std::string("v\0w", 3)}, {"X-Ok", "a\tb"}};
  std::string wire;
  serialize_response(r, false, false, wire);
  cut_date(wire);
  EXPECT_EQ(wire.substr(wire.find("Connection: close\r\n") + 19),
            "Location: /x  Set-Cookie: a=b\r\nX Y: v w\r\nX-Ok: a\tb\r\n\r\n");
}

TEST(HttpDate, FromSecs) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {951868799, "Tue, 29 Feb 2000 23:59:59 GMT"},
      {1000000000, "Sun, 09 Sep 2001 01:46:40 GMT"},
      {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"},
      {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"},  // 2100 is not a leap year
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {-86400, "Wed, 31 Dec 1969 00:00:00 GMT"},
      {-86401, "Tue, 30 Dec 1969 23:59:59 GMT"},
      {-62135596800, "Mon, 01 Jan 0001 00:00:00 GMT"},
      {-62135596801, "Sun, 31 Dec 0000 23:59:59 GMT"},
      {-62167219201, "Fri, 31 Dec -0001 23:59:59 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
      {253402300800, "Sat, 01 Jan 10000 00:00:00 GMT"},
  };
  for (const auto& [secs, text] : cases) {
    SCOPED_TRACE(secs);
    EXPECT_EQ(http_date_from_secs(secs), text);
  }
}

TEST(HttpDate, Extremes) {
  // 2^63-1 s is Sunday, 4 December 292277026596, 15:30:07 UTC.
  EXPECT_EQ(http_date_from_secs(std::numeric_limits<std::int64_t>::max()),
            "Sun, 04 Dec 292277026596 15:30:07 GMT");
  const std::string min = http_date_from_secs(std::numeric_limits<std::int64_t>::min());
  // -2^63 s is 08:29:52 on day -106751991167301, a Sunday.
  EXPECT_EQ(min.substr(0, 5), "Sun, ");
  EXPECT_EQ(min.substr(min.size() - 13), " 08:29:52 GMT");
}

// Every result must be the date of a second read from the clock around the call,
// also across a change of second and from many threads at once.
TEST(HttpDate, NowFollowsTheClock) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1300);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::atomic<int> seconds_seen{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string last;
      int changes = 0;
      while (std::chrono::steady_clock::now() < deadline) {
        const std::int64_t before = wall_secs();
        std::string now = (t % 2) ? http_date_now() : [] {
          std::string s;
          append_http_date_now(s);
          return s;
        }();
        const std::int64_t after = wall_secs();
        if (now != http_date_from_secs(before) && now != http_date_from_secs(after)) ++failures;
        if (now != last) ++changes;
        last = std::move(now);
      }
      seconds_seen.fetch_add(changes);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(seconds_seen.load(), 8);  // each thread saw at least two distinct seconds
}

}  // namespace
}  // namespace kiv
