// The hot-file cache: kept answers live for the second they were produced in,
// only whole 200s are kept, and only plain requests are answered.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/static_cache.hpp"

namespace kiv {
namespace {

ResponseOut ok(std::string body, std::uint16_t status = 200) {
  ResponseOut r;
  r.status = status;
  r.body = std::move(body);
  r.headers.emplace_back("Content-Type", "text/plain");
  return r;
}

struct CacheCase {
  const char* name;
  ResponseOut kept;
  HeaderList kept_with, asked_with;
  std::int64_t asked_at;  // kept at second 100
  bool hit;
};

class Cache : public ::testing::TestWithParam<CacheCase> {};

TEST_P(Cache, Answers) {
  const CacheCase& c = GetParam();
  StaticCache cache;
  cache.keep("/srv", "a.txt", c.kept_with, c.kept, 100);
  const auto got = cache.find("/srv", "a.txt", c.asked_with, c.asked_at);
  ASSERT_EQ(got != nullptr, c.hit);
  if (got) {
    EXPECT_EQ(got->body, c.kept.body);
    EXPECT_EQ(got->headers, c.kept.headers);
  }
  EXPECT_EQ(cache.find("/srv2", "a.txt", {}, c.asked_at), nullptr);  // another mount
  EXPECT_EQ(cache.find("/srv", "b.txt", {}, c.asked_at), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cache,
    ::testing::Values(
        CacheCase{"same_second", ok("hi"), {}, {{"Accept", "*/*"}}, 100, true},
        CacheCase{"next_second", ok("hi"), {}, {}, 101, false},
        CacheCase{"conditional", ok("hi"), {}, {{"If-None-Match", "\"x\""}}, 100, false},
        CacheCase{"modified_since", ok("hi"), {}, {{"if-modified-since", "x"}}, 100, false},
        CacheCase{"range", ok("hi"), {}, {{"RANGE", "bytes=0-0"}}, 100, false},
        CacheCase{"kept_from_range", ok("hi"), {{"Range", "bytes=0-0"}}, {}, 100, false},
        CacheCase{"not_200", ok("", 304), {}, {}, 100, false},
        CacheCase{"too_large", ok(std::string(StaticCache::kMaxBody + 1, 'x')), {}, {}, 100,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CacheBound, FullCacheDropsStaleEntriesOrKeepsNothingNew) {
  StaticCache cache;
  for (std::size_t i = 0; i < StaticCache::kMaxEntries; ++i)
    cache.keep("/srv", std::to_string(i), {}, ok("x"), 100);
  cache.keep("/srv", "new", {}, ok("x"), 100);
  EXPECT_EQ(cache.find("/srv", "new", {}, 100), nullptr);
  EXPECT_NE(cache.find("/srv", "0", {}, 100), nullptr);
  cache.keep("/srv", "new", {}, ok("x"), 101);  // every older entry is stale now
  EXPECT_NE(cache.find("/srv", "new", {}, 101), nullptr);
}

ResponseOut from_file(std::uint64_t length = 1 << 20) {
  ResponseOut r;
  r.file = std::make_shared<FileBody>(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0, length);
  return r;
}

// Descriptors are counted through replacement and expiry: a miscount either
// leaks the bound (too many open files) or stops keeping files for good.
TEST(CacheFiles, OpenFilesAreBounded) {
  StaticCache cache;
  for (std::size_t i = 0; i < StaticCache::kMaxFiles; ++i) {
    cache.keep("/srv", std::to_string(i), {}, from_file(), 100);
    cache.keep("/srv", std::to_string(i), {}, from_file(), 100);  // replaced, not added
  }
  cache.keep("/srv", "one_more", {}, from_file(), 100);
  EXPECT_EQ(cache.find("/srv", "one_more", {}, 100), nullptr);
  cache.keep("/srv", "small", {}, ok("x"), 100);  // bytes are not bounded by the file count
  EXPECT_NE(cache.find("/srv", "small", {}, 100), nullptr);
  EXPECT_NE(cache.find("/srv", "0", {}, 100), nullptr);
  EXPECT_EQ(cache.find("/srv", "0", {}, 101), nullptr);  // expired and dropped: room for one
  cache.keep("/srv", "one_more", {}, from_file(), 101);
  EXPECT_NE(cache.find("/srv", "one_more", {}, 101), nullptr);
  for (std::size_t i = 0; i < StaticCache::kMaxFiles; ++i)  // the rest go stale together
    cache.keep("/srv", "next" + std::to_string(i), {}, from_file(), 102);
  EXPECT_NE(cache.find("/srv", "next" + std::to_string(StaticCache::kMaxFiles - 1), {}, 102),
            nullptr);
}

}  // namespace
}  // namespace kiv
