// Answers for hot static files without the blocking pool: the whole 200
// response of a file, kept for the rest of the second in which the pool last
// produced it. A small file is kept with its bytes, a large one with its open
// descriptor (sendfile reads at its own offset, so every connection can share
// it). Only plain requests are answered from here; conditional and range
// requests and cold files take the pool as before, and every entry comes from
// the pool's own answer, so containment and the other safety rules are
// exactly those of serve_static_sync.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "http/request.hpp"
#include "http/response.hpp"

namespace kiv {

class StaticCache {
 public:
  static constexpr std::size_t kMaxEntries = 1024;
  static constexpr std::size_t kMaxBody = 16 * 1024;  // larger bytes are never kept
  // Entries that hold a descriptor open: few, so a folder of many large
  // files cannot use up the process's descriptors.
  static constexpr std::size_t kMaxFiles = 64;

  // The cached answer for (folder, rel) if it was produced in second `now`
  // and the request asks for nothing a cached 200 cannot answer.
  std::shared_ptr<const ResponseOut> find(std::string_view folder, std::string_view rel,
                                          const HeaderList& headers, std::int64_t now);
  // Keeps a fresh pool answer when it is a whole small file.
  void keep(std::string_view folder, std::string_view rel, const HeaderList& headers,
            const ResponseOut& resp, std::int64_t now);

 private:
  struct Entry {
    std::shared_ptr<const ResponseOut> resp;
    std::int64_t second;
  };
  static std::string key(std::string_view folder, std::string_view rel);

  void erase_stale(std::int64_t now);

  std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
  std::size_t files_ = 0;  // entries whose answer holds a descriptor
};

}  // namespace kiv
