#include "http/static_cache.hpp"

namespace kiv {

namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != b[i]) return false;
  }
  return true;
}

// Headers that make the answer depend on more than the file.
bool plain_request(const HeaderList& headers) {
  for (const auto& h : headers) {
    const std::string_view n = h.first;
    if (n.size() >= 5 && (n[0] | 0x20) == 'i' && (n[1] | 0x20) == 'f' && n[2] == '-') return false;
    if (iequals(n, "range")) return false;
  }
  return true;
}

}  // namespace

std::string StaticCache::key(std::string_view folder, std::string_view rel) {
  std::string k;
  k.reserve(folder.size() + rel.size() + 1);
  k.append(folder);
  k.push_back('\0');  // never inside a path
  k.append(rel);
  return k;
}

std::shared_ptr<const ResponseOut> StaticCache::find(std::string_view folder,
                                                     std::string_view rel,
                                                     const HeaderList& headers,
                                                     std::int64_t now) {
  if (!plain_request(headers)) return nullptr;
  const std::string k = key(folder, rel);
  std::lock_guard lock(mu_);
  const auto it = entries_.find(k);
  if (it == entries_.end()) return nullptr;
  if (it->second.second != now) {  // revalidated through the pool once a second
    if (it->second.resp->file) --files_;
    entries_.erase(it);
    return nullptr;
  }
  return it->second.resp;
}

void StaticCache::erase_stale(std::int64_t now) {
  std::erase_if(entries_, [this, now](const auto& e) {
    if (e.second.second == now) return false;
    if (e.second.resp->file) --files_;
    return true;
  });
}

void StaticCache::keep(std::string_view folder, std::string_view rel, const HeaderList& headers,
                       const ResponseOut& resp, std::int64_t now) {
  if (resp.status != 200 || resp.stream || (!resp.file && resp.body.size() > kMaxBody) ||
      !plain_request(headers))
    return;
  // The entry shares the descriptor with this answer; both only read from it.
  auto copy = std::make_shared<const ResponseOut>(resp);
  std::string k = key(folder, rel);
  const bool file = copy->file != nullptr;
  std::lock_guard lock(mu_);
  // Full: make room from entries that are stale anyway, else keep nothing new.
  if (entries_.size() >= kMaxEntries || (file && files_ >= kMaxFiles)) erase_stale(now);
  if (entries_.size() >= kMaxEntries || (file && files_ >= kMaxFiles)) return;
  auto [it, added] = entries_.try_emplace(std::move(k), Entry{copy, now});
  if (!added) {
    if (it->second.resp->file) --files_;
    it->second = Entry{std::move(copy), now};
  }
  if (file) ++files_;
}

}  // namespace kiv
