#include "index/FirstFormat.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>

#include "index/Checksum.h"
#include "index/Errors.h"
#include "index/IndexFiles.h"
#include "index/MappedFiles.h"
#include "json/JSON.h"
#include "json/JSONInternal.h"

namespace lumo::index {
namespace {

namespace json = typing::text::json;

constexpr std::size_t kMaxManifestSize = std::size_t{256} << 20;

// The manifest's top-level members, each with its parsed value and its own text.
class ManifestMembers : public json::internal::MemberReader {
 public:
  struct Parsed {
    json::JSON value;
    std::string text;
  };
  std::map<std::string, Parsed> members;

  void Member(std::string&& key, const std::string& text, std::size_t& offset, int depth) override {
    while (offset < text.size() && (text[offset] == ' ' || (text[offset] >= '\t' && text[offset] <= '\r'))) ++offset;
    const std::size_t start = offset;
    json::JSON value = json::internal::parse_next(text, offset, depth + 1);
    members[std::move(key)] = {std::move(value), text.substr(start, offset - start)};
  }
};

bool ParseManifest(const std::string& text, ManifestMembers& reader) {
  std::size_t offset = 0;
  try {
    return json::internal::parse_members(text, offset, 0, reader);
  } catch (const std::exception&) {
    return false;
  }
}

bool IsFirstFormat(const ManifestMembers& m) {
  const auto format = m.members.find("format");
  const auto version = m.members.find("version");
  bool ok_format = false, ok_version = false;
  return format != m.members.end() && version != m.members.end() &&
         format->second.value.AsString(ok_format) == "lumotext-index" && ok_format &&
         version->second.value.AsInteger(ok_version) == 1 && ok_version;
}

}  // namespace

bool IsFirstFormatDirectory(const std::string& dir) {
  std::string text;
  if (ReadWholeFile(dir + kFirstFormatManifest, kMaxManifestSize, text) != 0) return false;
  // Only a text that names our format is parsed: anyone else's manifest.json is not ours, and
  // parsing it could only print diagnostics.
  if (text.find("\"lumotext-index\"") == std::string::npos) return false;
  ManifestMembers reader;
  return ParseManifest(text, reader) && IsFirstFormat(reader);
}

std::vector<std::string> FirstFormatFileNames() {
  std::vector<std::string> names(kIndexFileNames.begin(), kIndexFileNames.end());
  names.emplace_back(kFirstFormatManifest);
  return names;
}

LoadedIndexDirectory LoadFirstFormat(const std::string& dir, bool verify) {
  const std::string manifest_path = dir + kFirstFormatManifest;
  auto bad = [&](const std::string& why) { return CorruptIndex("damaged index: " + manifest_path + " " + why); };
  std::string text;
  if (const int error = ReadWholeFile(manifest_path, kMaxManifestSize, text)) {
    throw FileError(error, "cannot read", manifest_path);
  }
  ManifestMembers m;
  if (!ParseManifest(text, m) || !IsFirstFormat(m)) throw bad("is not a first-format manifest");
  auto member = [&](const char* key) -> const ManifestMembers::Parsed& {
    const auto it = m.members.find(key);
    if (it == m.members.end()) throw bad(std::string("has no ") + key);
    return it->second;
  };
  auto number = [&](const char* key) {
    const json::JSON& value = member(key).value;
    bool ok = false;
    double x =
        value.GetKind() == json::JSON::Kind::Integer ? static_cast<double>(value.AsInteger(ok)) : value.AsFloat(ok);
    if (!ok || !std::isfinite(x)) throw bad(std::string("has a bad ") + key);
    return x;
  };
  auto count = [&](const char* key) {
    bool ok = false;
    const std::int64_t x = member(key).value.AsInteger(ok);
    if (!ok || x < 0) throw bad(std::string("has a bad ") + key);
    return static_cast<std::uint64_t>(x);
  };
  bool ok = false;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the saved arrays are little-endian"
#endif
  if (member("byte_order").value.AsString(ok) != "little" || !ok) throw bad("names a byte order this machine lacks");
  LoadedIndexDirectory loaded;
  loaded.first_format = true;
  loaded.settings.k1 = number("k1");
  loaded.settings.b = number("b");
  const ManifestMembers::Parsed& analyzer = member("analyzer");
  if (analyzer.value.GetKind() != json::JSON::Kind::Object) throw bad("has bad analyzer settings");
  loaded.settings.analyzer_json = analyzer.text;
  loaded.payload.engine_json = "{\"documents\":" + std::to_string(count("documents")) +
                               ",\"live_documents\":" + std::to_string(count("live_documents")) +
                               ",\"terms\":" + std::to_string(count("terms")) + "}";
  const json::JSON& files = member("files").value;
  auto mappings = std::make_shared<MappedFiles>();
  for (const char* name : kIndexFileNames) {
    const auto entry = files.Entries().find(name);
    if (entry == files.Entries().end()) throw bad(std::string("has no entry for ") + name);
    bool size_ok = false, checksum_ok = false;
    const std::int64_t size =
        entry->second.Entries().count("size") ? entry->second.Entries().at("size").AsInteger(size_ok) : -1;
    const std::string hex =
        entry->second.Entries().count("checksum") ? entry->second.Entries().at("checksum").AsString(checksum_ok) : "";
    std::uint64_t checksum = 0;
    const auto parsed = std::from_chars(hex.data(), hex.data() + hex.size(), checksum, 16);
    if (!size_ok || size < 0 || !checksum_ok || hex.empty() || parsed.ec != std::errc() ||
        parsed.ptr != hex.data() + hex.size()) {
      throw bad(std::string("has a bad entry for ") + name);
    }
    std::string_view bytes;
    if (const int error = mappings->Map(dir + name, bytes)) throw FileError(error, "cannot open", dir + name);
    if (bytes.size() != static_cast<std::uint64_t>(size)) {
      throw CorruptIndex("damaged index: " + dir + name + " holds " + std::to_string(bytes.size()) +
                         " bytes, the manifest says " + std::to_string(size));
    }
    if (verify && Checksum64(bytes.data(), bytes.size()) != checksum) {
      throw CorruptIndex("damaged index: the checksum of " + dir + name + " does not match the manifest");
    }
    loaded.payload.files.emplace(name, bytes);
  }
  loaded.payload.owner = std::move(mappings);
  return loaded;
}

}  // namespace lumo::index
