// Entry records, their purge variables, the file name counter and the HTTP rules deciding what
// may be stored.
#include "engine/proxy/www/www_cache.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

#include "engine/proxy/www/http_request.h"
#include "engine/remote/rc_message.h"

TL_IMPLEMENT_SERIAL(CCacheEntry, CObject, 1)

namespace {

constexpr const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

uint32_t ClampTime32(int64_t t) {
  if (t < 0) return 0;
  if (t > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(t);
}

uint32_t HoursSince(int64_t now, int64_t then) {
  // A time in the future (clock set back) counts as no time at all.
  if (now <= then) return 0;
  const int64_t hours = (now - then) / 3600;
  return hours > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())
             ? std::numeric_limits<uint32_t>::max()
             : static_cast<uint32_t>(hours);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Calls f(token) for each comma-separated token of a header value, without parameters
// ("private=\"x\"" gives "private").
template <class F>
void ForEachToken(std::string_view value, F&& f) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    const size_t eq = item.find('=');
    if (eq != std::string_view::npos) item = item.substr(0, eq);
    f(Trim(item));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

// A delta-seconds value (digits, optionally quoted); one past 2^31 stands for "longer than any
// lifetime we need" and is kept there.
std::optional<int64_t> ParseDeltaSeconds(std::string_view s) {
  s = Trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  if (s.empty()) return std::nullopt;
  constexpr int64_t kCap = int64_t{1} << 31;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = std::min(kCap, v * 10 + (c - '0'));
  }
  return v;
}

// All digits, no sign, fits 64 bits.
std::optional<uint64_t> ParseLength(std::string_view s) {
  s = Trim(s);
  if (s.empty() || s.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

}  // namespace

// ---- CCacheEntry ------------------------------------------------------------------------------

void CCacheEntry::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << URL << FileName << ClampTime32(LastHit) << ClampTime32(LastModified) << ContentType << Size << Hits;
    return;
  }
  CString url, name, type;
  uint32_t lastHit = 0, lastModified = 0, size = 0, hits = 0;
  ar >> url;
  if (url.size() > kCacheMaxIndexText) throw CArchiveException(CArchiveException::badLength, "cache URL too long");
  ar >> name;
  if (name.size() > kCacheMaxIndexText) throw CArchiveException(CArchiveException::badLength, "cache file name too long");
  ar >> lastHit >> lastModified >> type;
  if (type.size() > kCacheMaxIndexText)
    throw CArchiveException(CArchiveException::badLength, "cache content type too long");
  ar >> size >> hits;
  URL = std::move(url);
  FileName = std::move(name);
  LastHit = lastHit;
  LastModified = lastModified;
  ContentType = std::move(type);
  Size = size;
  Hits = hits;
}

void CCacheEntry::StoreIndexForm(CArchive& ar) const {
  if (Expires) {
    CCacheEntry lifetime;
    lifetime.FileName = FileName + kCacheLifetimeSuffix;
    lifetime.LastHit = *Expires;
    lifetime.LastModified = 0;
    lifetime.Serialize(ar);
  }
  const_cast<CCacheEntry*>(this)->Serialize(ar);
}

CString CCacheEntry::LifetimeRecordOwner() const {
  const std::string_view suffix(kCacheLifetimeSuffix);
  if (!URL.empty() || FileName.size() != 8 + suffix.size() || std::string_view(FileName).substr(8) != suffix)
    return CString();
  return FileName.substr(0, 8);
}

const char* CCacheEntry::GetFieldName(uint32_t code) {
  static const char* const names[] = {
      "URL",
      "Cachefile name",
      "Cachefile size (bytes)",
      "Content type",
      "Hit count",
      "Hit count times file size (bytes)",
      "Relative Cache efficiency (%)",
      "Time since last hit (hrs)",
      "Time since last modified (hrs)",
  };
  return code < 9 ? names[code] : "";
}

void CCacheEntry::GetField(uint32_t code, CTLDataObject& value, const CCacheFieldContext& ctx) const {
  switch (code) {
    case 0: value.SetString(URL); break;
    case 1: value.SetString(FileName); break;
    case 2: value.SetDWord(Size); break;
    case 3: value.SetString(ContentType); break;
    case 4: value.SetDWord(Hits); break;
    case 5: value.SetDouble(static_cast<double>(Hits) * static_cast<double>(Size)); break;
    case 6:
      value.SetDouble(ctx.weightedTotal == 0 ? 100.0
                                             : static_cast<double>(Hits) * ctx.totalSize * 100.0 / ctx.weightedTotal);
      break;
    case 7: value.SetDWord(HoursSince(ctx.now, LastHit)); break;
    case 8: value.SetDWord(HoursSince(ctx.now, LastModified)); break;
    default: break;
  }
}

// ---- CWWWCache ----------------------------------------------------------------------------------

namespace {

// The engine's factory for the stored name: a cache read by name is the engine's own kind here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CWWWCacheSettings), [] { return std::shared_ptr<CObject>(std::make_shared<CWWWCache>()); });

}  // namespace

CWWWCache::CWWWCache() {
  m_entries.SetElementClass(TL_RUNTIME_CLASS(CCacheEntry));
  Now = [] { return static_cast<int64_t>(::time(nullptr)); };
  CacheFilterMatches = [this](const CCacheRequest& req) { return CacheFilter.AnyMatches(req.filters); };
  PurgeFilterMatches = [this](const CCacheEntry& entry, const CCacheFieldContext& ctx) {
    struct Fields : ICacheEntryFields {
      const CCacheEntry& e;
      const CCacheFieldContext& c;
      Fields(const CCacheEntry& entry, const CCacheFieldContext& context) : e(entry), c(context) {}
      void GetField(uint32_t code, CTLDataObject& value) const override { e.GetField(code, value, c); }
    } fields(entry, ctx);
    return PurgeFilter.AnyMatchesCacheEntry(fields);
  };
}

CString CWWWCache::GetActiveDirectory() const {
  CString dir;
  {
    CLockGuard guard(m_entries);
    dir = m_activeDirectory;
  }
  if (dir.empty()) dir = GetCacheDirectory();
  // An empty setting would put the index at the root of the file system.
  return dir.empty() ? CString("cache") : dir;
}

// ---- Names and HTTP rules ---------------------------------------------------------------------

bool CWWWCache::IsValidFileName(std::string_view name) {
  if (name.size() != 8) return false;
  for (char c : name)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  return true;
}

CString CWWWCache::NextName(const CString& counter) {
  CString n(8, '0');
  for (size_t i = 0; i < 8 && i < counter.size(); ++i) {
    const char c = counter[i];
    n[i] = ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) ? c : '0';
  }
  for (int pos = 7; pos >= 0; --pos) {
    if (n[pos] == 'Z') {
      n[pos] = '0';
      continue;
    }
    const char* at = std::char_traits<char>::find(kDigits, 36, n[pos]);
    n[pos] = at[1];
    break;
  }
  if (n == "ZZZZZZZZ") n = "00000000";
  return n;
}

CString CWWWCache::FormatHttpDate(int64_t t) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  if (!gmtime_r(&tt, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11 ||
      tm.tm_year + 1900 < 0 || tm.tm_year + 1900 > 9999)
    return CString();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool CWWWCache::IsCacheable(const CCacheRequest& req) const {
  try {
    if (!EqualsNoCase(req.scheme, "HTTP") || !EqualsNoCase(req.method, "GET") || req.hasAuthorization) return false;
    if (req.key.empty()) return false;
    if (SpecifyWhatToCache.load() != 0) return CacheFilterMatches ? CacheFilterMatches(req) : false;
    return true;
  } catch (...) {
    return false;
  }
}

std::optional<int64_t> CWWWCache::ExplicitExpiry(const std::vector<std::pair<CString, CString>>& headers, int64_t now) {
  std::optional<int64_t> maxAge, sMaxAge, expires, date, age;
  bool expiresSeen = false;
  // Repeated values count at their smallest: the one that makes the response stale soonest.
  auto smallest = [](std::optional<int64_t>& slot, int64_t v) { slot = slot ? std::min(*slot, v) : v; };
  for (const auto& [name, rawValue] : headers) {
    const std::string_view value = Trim(rawValue);
    if (EqualsNoCase(name, "Cache-Control")) {
      std::string_view rest = value;
      while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const size_t eq = item.find('=');
        const std::string_view directive = Trim(item.substr(0, eq));
        const bool isMaxAge = EqualsNoCase(directive, "max-age");
        if (!isMaxAge && !EqualsNoCase(directive, "s-maxage")) continue;
        const auto seconds = eq == std::string_view::npos ? std::nullopt : ParseDeltaSeconds(item.substr(eq + 1));
        smallest(isMaxAge ? maxAge : sMaxAge, seconds.value_or(0));
      }
    } else if (EqualsNoCase(name, "Expires")) {
      expiresSeen = true;
      int64_t t = 0;
      // An Expires that is no date ("0", "-1") means already expired.
      smallest(expires, ParseHttpDate(value, &t) ? t : std::numeric_limits<int32_t>::min());
    } else if (EqualsNoCase(name, "Date")) {
      int64_t t = 0;
      if (ParseHttpDate(value, &t)) date = t;
    } else if (EqualsNoCase(name, "Age")) {
      smallest(age, ParseDeltaSeconds(value).value_or(0));
    }
  }
  int64_t lifetime = 0;
  if (sMaxAge)
    lifetime = *sMaxAge;
  else if (maxAge)
    lifetime = *maxAge;
  else if (expiresSeen)
    lifetime = *expires - (date ? *date : now);
  else
    return std::nullopt;
  // The age the response had on arrival: what an earlier cache said, or how far its Date lags.
  const int64_t currentAge = std::max<int64_t>({0, age.value_or(0), date ? now - *date : 0});
  return now + lifetime - currentAge;
}

CCacheVerdict CWWWCache::CheckResponse(uint32_t status, const std::vector<std::pair<CString, CString>>& headers) {
  return CheckResponse(status, headers, static_cast<int64_t>(::time(nullptr)));
}

CCacheVerdict CWWWCache::CheckResponse(uint32_t status, const std::vector<std::pair<CString, CString>>& headers,
                                       int64_t now) {
  CCacheVerdict v;
  if (status != 200) {
    v.reason = "status other than 200";
    return v;
  }
  for (const auto& [name, rawValue] : headers) {
    const std::string_view value = Trim(rawValue);
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      // The body would be stored with its framing and replayed as a plain body.
      v.reason = "Transfer-Encoding in server response";
      return v;
    }
    if (EqualsNoCase(name, "Content-Encoding") && !value.empty() && !EqualsNoCase(value, "identity")) {
      // A stored copy is replayed without its Content-Encoding.
      v.reason = "Content-Encoding in server response";
      return v;
    }
    if (EqualsNoCase(name, "Set-Cookie") || EqualsNoCase(name, "Set-Cookie2")) {
      v.reason = "Set-Cookie in server response";
      return v;
    }
    if (EqualsNoCase(name, "Pragma") || EqualsNoCase(name, "Cache-Control")) {
      bool refuse = false;
      ForEachToken(value, [&](std::string_view tok) {
        if (EqualsNoCase(tok, "no-cache") || EqualsNoCase(tok, "no-store") || EqualsNoCase(tok, "private"))
          refuse = true;
      });
      if (refuse) {
        v.reason = "no-cache, no-store or private in server response";
        return v;
      }
    }
    if (EqualsNoCase(name, "Content-Length")) {
      const auto len = ParseLength(value);
      // A length we cannot trust (or two that disagree) makes the completeness test meaningless.
      if (!len || (v.contentLength && *v.contentLength != *len) || *len > std::numeric_limits<uint32_t>::max()) {
        v.reason = "unusable Content-Length in server response";
        v.contentLength.reset();
        return v;
      }
      v.contentLength = len;
    }
  }
  v.storable = true;
  v.expires = ExplicitExpiry(headers, now);
  return v;
}
