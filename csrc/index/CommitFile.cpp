#include "index/CommitFile.h"

#include <charconv>
#include <cmath>
#include <set>

#include "index/Checksum.h"
#include "index/Errors.h"

namespace lumo::index {
namespace {

constexpr std::size_t kMaxDataFileName = 64;
constexpr std::uint64_t kMaxFiles = 1u << 20;

std::string ShortestDouble(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A strict reader over the commit text: each method takes exactly one expected piece.
class Reader {
 public:
  Reader(std::string_view text, const std::string& where) : text_(text), where_(where) {}

  [[noreturn]] void Fail(const std::string& why) const { throw CorruptIndex("damaged index: " + where_ + " " + why); }

  void Literal(std::string_view expected, const char* what) {
    if (text_.substr(at_, expected.size()) != expected) Fail(std::string("has no ") + what + " where expected");
    at_ += expected.size();
  }

  std::string_view Token(char end, const char* what) {
    const std::size_t stop = text_.find(end, at_);
    if (stop == std::string_view::npos || stop == at_) Fail(std::string("has a bad ") + what);
    const std::string_view token = text_.substr(at_, stop - at_);
    at_ = stop + 1;
    return token;
  }

  std::uint64_t Decimal(char end, const char* what) {
    const std::string_view token = Token(end, what);
    if (token.size() > 1 && token[0] == '0') Fail(std::string("has a bad ") + what);
    std::uint64_t value = 0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
    if (result.ec != std::errc() || result.ptr != token.data() + token.size()) Fail(std::string("has a bad ") + what);
    return value;
  }

  std::uint64_t Hex(char end, const char* what) {
    const std::string_view token = Token(end, what);
    if (token.size() != 16 || token.find_first_not_of("0123456789abcdef") != std::string_view::npos)
      Fail(std::string("has a bad ") + what);
    std::uint64_t value = 0;
    std::from_chars(token.data(), token.data() + 16, value, 16);
    return value;
  }

  double Number(const char* what) {
    const std::string_view token = Token('\n', what);
    double value = 0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
    if (result.ec != std::errc() || result.ptr != token.data() + token.size() || !std::isfinite(value) ||
        ShortestDouble(value) != token) {
      Fail(std::string("has a bad ") + what);
    }
    return value;
  }

  std::string Blob(std::uint64_t size, const char* what) {
    if (size > text_.size() - at_ || text_.size() - at_ - size < 1 || text_[at_ + size] != '\n')
      Fail(std::string("has a cut or bad ") + what);
    std::string blob(text_.substr(at_, size));
    at_ += size + 1;
    return blob;
  }

  std::size_t at() const { return at_; }
  bool AtEnd() const { return at_ == text_.size(); }

 private:
  std::string_view text_;
  const std::string& where_;
  std::size_t at_ = 0;
};

}  // namespace

bool IsDataFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxDataFileName || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::string EncodeCommit(const CommitRecord& record) {
  if (!std::isfinite(record.k1) || !std::isfinite(record.b)) throw InvalidArgument("k1 and b must be finite");
  std::string out;
  out.reserve(256 + record.analyzer_json.size() + record.engine_json.size() + 64 * record.files.size());
  out += std::string(kCommitFormatName) + " " + std::to_string(kCommitFormatVersion) + "\n";
  out += "k1 " + ShortestDouble(record.k1) + "\n";
  out += "b " + ShortestDouble(record.b) + "\n";
  out += "analyzer " + std::to_string(record.analyzer_json.size()) + "\n" + record.analyzer_json + "\n";
  out += "engine " + std::to_string(record.engine_json.size()) + "\n" + record.engine_json + "\n";
  out += "files " + std::to_string(record.files.size()) + "\n";
  std::set<std::string_view> seen;
  for (const CommitFileEntry& file : record.files) {
    if (!IsDataFileName(file.name)) throw InvalidArgument("not a valid data file name: '" + file.name + "'");
    if (!seen.insert(file.name).second) throw InvalidArgument("the data file name '" + file.name + "' repeats");
    out += "file " + file.name + " " + std::to_string(file.size) + " " + ChecksumText(file.checksum) + "\n";
  }
  out += CommitChecksumLine(out);
  return out;
}

std::string CommitChecksumLine(std::string_view body) {
  return "checksum " + ChecksumText(Checksum64(body.data(), body.size())) + "\n";
}

bool LooksLikeCommit(std::string_view text) {
  const std::string start = std::string(kCommitFormatName) + " ";
  return text.substr(0, start.size()) == start;
}

CommitRecord DecodeCommit(std::string_view text, const std::string& where) {
  Reader in(text, where);
  if (!LooksLikeCommit(text)) {
    throw CorruptIndex(where + " is not the commit file of a saved lumotext index");
  }
  in.Literal(kCommitFormatName, "format name");
  in.Literal(" ", "format version");
  const std::uint64_t version = in.Decimal('\n', "format version");
  if (version != static_cast<std::uint64_t>(kCommitFormatVersion)) {
    throw CorruptIndex(where + " holds index format version " + std::to_string(version) + "; this release reads " +
                       std::to_string(kCommitFormatVersion));
  }
  // The checksum first: a damaged file is then reported as damaged, whatever the damage hit.
  const std::size_t line = text.rfind("checksum ");
  if (line == std::string_view::npos || line == 0 || text[line - 1] != '\n') in.Fail("has no checksum line");
  const std::string_view body = text.substr(0, line);
  if (text.substr(line) != CommitChecksumLine(body)) in.Fail("does not match its checksum");

  CommitRecord record;
  in.Literal("k1 ", "k1");
  record.k1 = in.Number("k1");
  in.Literal("b ", "b");
  record.b = in.Number("b");
  in.Literal("analyzer ", "analyzer settings");
  record.analyzer_json = in.Blob(in.Decimal('\n', "analyzer settings size"), "analyzer settings");
  in.Literal("engine ", "engine description");
  record.engine_json = in.Blob(in.Decimal('\n', "engine description size"), "engine description");
  in.Literal("files ", "file count");
  const std::uint64_t count = in.Decimal('\n', "file count");
  if (count > kMaxFiles) in.Fail("names too many files");
  std::set<std::string> seen;
  for (std::uint64_t i = 0; i < count; ++i) {
    in.Literal("file ", "file line");
    CommitFileEntry file;
    file.name = std::string(in.Token(' ', "file name"));
    if (!IsDataFileName(file.name) || !seen.insert(file.name).second) in.Fail("has a bad file name");
    file.size = in.Decimal(' ', "file size");
    file.checksum = in.Hex('\n', "file checksum");
    record.files.push_back(std::move(file));
  }
  if (in.at() != body.size()) in.Fail("has unexpected text before its checksum");
  return record;
}

}  // namespace lumo::index
