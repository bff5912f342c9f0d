// The saved-index format: the commit file's exact syntax and checksum, the directory's ownership
// rules, files written once, the clean-up of leftovers, the shared atomic-replace helper, and an
// InvertedIndex's payload round trip.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "fileio/AtomicReplace.h"
#include "index/CommitFile.h"
#include "index/Errors.h"
#include "index/IndexDirectory.h"
#include "index/InvertedIndex.h"

namespace {

namespace fs = std::filesystem;
using lumo::index::CommitPayload;
using lumo::index::CommitRecord;
using lumo::index::CorruptIndex;
using lumo::index::FileError;
using lumo::index::InvalidArgument;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumotext-format-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::map<std::string, std::string> Listing(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) out[entry.path().filename().string()] = ReadAll(entry.path());
  return out;
}

CommitRecord SampleRecord() {
  CommitRecord record;
  record.k1 = 1.2;
  record.b = 0.75;
  // Text that looks like the commit file's own lines must pass through untouched.
  record.analyzer_json = "{\"stop_words\": [\"checksum 0\\n\", \"\xe5\xa4\xa9\"],\n \"bigram_weight\": 0.3}";
  record.engine_json = "{}";
  record.files = {{"a.bin", 3, 0x0123456789abcdefULL}, {"seg-1_x.u32", 0, 7}};
  return record;
}

TEST(CommitFile, RoundTripsEveryField) {
  for (const double k1 : {0.0, 0.1, 1.2, 1e-300, 123456.789}) {
    CommitRecord record = SampleRecord();
    record.k1 = k1;
    const CommitRecord back = lumo::index::DecodeCommit(lumo::index::EncodeCommit(record), "c");
    EXPECT_EQ(back.k1, k1);
    EXPECT_EQ(back.b, record.b);
    EXPECT_EQ(back.analyzer_json, record.analyzer_json);
    EXPECT_EQ(back.engine_json, record.engine_json);
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files[0].name, "a.bin");
    EXPECT_EQ(back.files[0].size, 3u);
    EXPECT_EQ(back.files[0].checksum, 0x0123456789abcdefULL);
    EXPECT_EQ(back.files[1].name, "seg-1_x.u32");
  }
}

TEST(CommitFile, EverySingleBitFlipIsRefused) {
  const std::string text = lumo::index::EncodeCommit(SampleRecord());
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = text;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
      EXPECT_THROW(lumo::index::DecodeCommit(damaged, "c"), CorruptIndex) << "byte " << at << " bit " << bit;
    }
  }
  EXPECT_THROW(lumo::index::DecodeCommit(text.substr(0, text.size() - 1), "c"), CorruptIndex);
  EXPECT_THROW(lumo::index::DecodeCommit(text + "x", "c"), CorruptIndex);
}

// Sealed with a correct checksum, text the writer would not write is still refused.
TEST(CommitFile, OnlyTheWritersSyntaxIsTaken) {
  const std::string text = lumo::index::EncodeCommit(SampleRecord());
  const std::string body = text.substr(0, text.rfind("checksum "));
  auto sealed = [](std::string b) { return b + lumo::index::CommitChecksumLine(b); };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string b = body;
    b.replace(b.find(from), from.size(), to);
    return sealed(b);
  };
  EXPECT_NO_THROW(lumo::index::DecodeCommit(sealed(body), "c"));
  for (const auto& [from, to] :
       std::vector<std::pair<std::string, std::string>>{{"k1 1.2", "k1 1.20"},
                                                        {"k1 1.2", "k1 nan"},
                                                        {"b 0.75", "b  0.75"},
                                                        {"files 2", "files 02"},
                                                        {"files 2", "files 3"},
                                                        {"file a.bin 3", "file a.bin 03"},
                                                        {"file a.bin", "file ../a.bin"},
                                                        {"0123456789abcdef", "0123456789ABCDEF"},
                                                        {"engine 2", "engine 3"},
                                                        {"lumotext-index 2", "lumotext-index 1"}}) {
    EXPECT_THROW(lumo::index::DecodeCommit(replaced(from, to), "c"), CorruptIndex) << from << " -> " << to;
  }
}

TEST(CommitFile, RefusesNamesThatCouldLeaveTheDirectoryOrCollide) {
  for (const std::string& bad :
       std::vector<std::string>{"", ".hidden", "a/b", "..", std::string(65, 'a'), "a b", "lumotext\xc3\xa9"}) {
    CommitRecord record = SampleRecord();
    record.files = {{bad, 1, 1}};
    EXPECT_THROW(lumo::index::EncodeCommit(record), InvalidArgument) << bad;
  }
  CommitRecord twice = SampleRecord();
  twice.files = {{"a", 1, 1}, {"a", 1, 1}};
  EXPECT_THROW(lumo::index::EncodeCommit(twice), InvalidArgument);
  CommitRecord infinite = SampleRecord();
  infinite.k1 = INFINITY;
  EXPECT_THROW(lumo::index::EncodeCommit(infinite), InvalidArgument);
}

CommitPayload Payload(const std::map<std::string, std::string>& files, const std::string& engine = "{}") {
  CommitPayload payload;
  payload.engine_json = engine;
  for (const auto& [name, bytes] : files) payload.files.emplace_back(name, std::make_shared<const std::string>(bytes));
  return payload;
}

const lumo::index::IndexSettings kSettings{1.2, 0.75, "{\"mode\": \"default\"}"};

TEST(IndexDirectory, LoadsWhatWasSavedAlignedAndChecked) {
  TempDir tmp;
  const std::string path = (tmp / "ix").string();
  lumo::index::SaveIndexDirectory(path, kSettings, Payload({{"a", "hello"}, {"b", ""}, {"c", std::string(100, 'x')}}));
  const auto loaded = lumo::index::LoadIndexDirectory(path, true);
  EXPECT_EQ(loaded.settings.analyzer_json, kSettings.analyzer_json);
  EXPECT_EQ(loaded.settings.k1, 1.2);
  EXPECT_EQ(loaded.payload.engine_json, "{}");
  ASSERT_EQ(loaded.payload.files.size(), 3u);
  EXPECT_EQ(loaded.payload.files.at("a"), "hello");
  EXPECT_EQ(loaded.payload.files.at("b"), "");
  for (const auto& [name, view] : loaded.payload.files) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(view.data()) % 8, 0u) << name;
  }
}

TEST(IndexDirectory, UnchangedFilesAreNotWrittenAgainAndOldOnesGoAfterOneMoreCommit) {
  TempDir tmp;
  const std::string path = (tmp / "ix").string();
  auto inode = [&](const std::string& prefix) {
    for (const auto& entry : fs::directory_iterator(path)) {
      if (entry.path().filename().string().rfind(prefix + ".", 0) == 0) {
        struct stat st {};
        ::stat(entry.path().c_str(), &st);
        return static_cast<long long>(st.st_ino);
      }
    }
    return -1LL;
  };
  lumo::index::SaveIndexDirectory(path, kSettings, Payload({{"same", "1"}, {"changes", "old"}}));
  const long long same = inode("same");
  lumo::index::SaveIndexDirectory(path, kSettings, Payload({{"same", "1"}, {"changes", "new"}}));
  EXPECT_EQ(inode("same"), same);
  EXPECT_EQ(Listing(path).size(), 5u);  // commit, lock, same, changes (old and new)
  lumo::index::SaveIndexDirectory(path, kSettings, Payload({{"same", "1"}, {"changes", "new"}}));
  EXPECT_EQ(Listing(path).size(), 4u);
  EXPECT_EQ(lumo::index::LoadIndexDirectory(path, true).payload.files.at("changes"), "new");
}

TEST(IndexDirectory, ForeignPlacesAreRefusedAndUntouched) {
  TempDir tmp;
  fs::create_directory(tmp / "site");
  WriteAll(tmp / "site" / "manifest.json", "{\"format\": \"lumotext-index\", \"version\": 1}");
  WriteAll(tmp / "site" / "index.html", "<html>");
  fs::create_directory(tmp / "other");
  WriteAll(tmp / "other" / "lumotext.commit", "someone else's");
  WriteAll(tmp / "file", "text");
  for (const std::string name : {"site", "other", "file"}) {
    const auto before = fs::is_directory(tmp / name) ? Listing(tmp / name) : std::map<std::string, std::string>{};
    try {
      lumo::index::SaveIndexDirectory((tmp / name).string(), kSettings, Payload({{"a", "1"}}));
      ADD_FAILURE() << name << " was not refused";
    } catch (const FileError& e) {
      EXPECT_EQ(e.error_code(), EEXIST) << name;
    }
    if (fs::is_directory(tmp / name)) {
      EXPECT_EQ(Listing(tmp / name), before) << name;
    }
    EXPECT_THROW(lumo::index::CheckSaveTarget((tmp / name).string()), FileError);
  }
  EXPECT_THROW(lumo::index::LoadIndexDirectory((tmp / "other").string(), true), CorruptIndex);
  EXPECT_THROW(lumo::index::LoadIndexDirectory((tmp / "site").string(), true), CorruptIndex);
}

TEST(IndexDirectory, LeftoversOfAKilledFirstSaveAreOursAndCleanedUp) {
  TempDir tmp;
  const fs::path dir = tmp / "ix";
  fs::create_directory(dir);
  WriteAll(dir / ".lumotext.lock", "");
  WriteAll(dir / ".lumotext-tmp-0123456789abcdef", "half");
  WriteAll(dir / "a.0123456789abcdef", "whole");
  EXPECT_THROW(lumo::index::LoadIndexDirectory(dir.string(), true), CorruptIndex);
  lumo::index::SaveIndexDirectory(dir.string(), kSettings, Payload({{"b", "1"}}));
  const auto names = Listing(dir);
  EXPECT_EQ(names.count(".lumotext-tmp-0123456789abcdef"), 0u);
  EXPECT_EQ(names.count("a.0123456789abcdef"), 0u);
  EXPECT_EQ(names.size(), 3u);
  // Without our lock file, such names alone do not make a directory ours.
  fs::create_directory(tmp / "lookalike");
  WriteAll(tmp / "lookalike" / "a.0123456789abcdef", "x");
  EXPECT_THROW(lumo::index::CheckSaveTarget((tmp / "lookalike").string()), FileError);
}

TEST(AtomicReplace, OnlyUnlockedTemporariesAreStale) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  {
    lumo::fileio::LockedTemporary held(dir, ".t-");
    ASSERT_EQ(held.error(), 0);
    WriteAll(tmp / ".t-00000000000000aa", "left by a killed writer");
    WriteAll(tmp / ".t-short", "not of the naming");
    lumo::fileio::RemoveStaleTemporaries(dir, ".t-");
    EXPECT_TRUE(fs::exists(held.path()));
    EXPECT_FALSE(fs::exists(tmp / ".t-00000000000000aa"));
    EXPECT_TRUE(fs::exists(tmp / ".t-short"));
  }
  EXPECT_EQ(Listing(tmp.path()).size(), 1u);  // the held one went with its owner
}

TEST(InvertedIndexPayload, RoundTripsThroughADirectoryAndChecksItsCounts) {
  TempDir tmp;
  const std::string path = (tmp / "ix").string();
  lumo::index::InvertedIndex built(1.2, 0.75);
  built.Add({"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba ab", "ab ab", "\xe4\xb8\xad\xe5\x9b\xbd"},
            *lumo::fuzz::FuzzAnalyzer(), 1);
  built.Remove({1});
  lumo::index::SaveIndexDirectory(path, kSettings, built.ToCommitPayload());
  const auto loaded = lumo::index::LoadIndexDirectory(path, true);
  const auto index = lumo::index::InvertedIndex::FromCommitPayload(loaded.payload, 1.2, 0.75);
  EXPECT_EQ(index->live_count(), 2u);
  EXPECT_EQ(index->document_count(), 3u);
  const auto want = built.Search("ab", *lumo::fuzz::FuzzAnalyzer(), 10);
  const auto got = index->Search("ab", *lumo::fuzz::FuzzAnalyzer(), 10);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].doc, want[i].doc);

  // Saving the loaded index views its segments and term tables where they are mapped (no copy);
  // only the live bitsets, which removals change, are copies.
  const auto again = index->ToCommitPayload();
  std::size_t viewed = 0;
  for (const auto& file : again.files) {
    const auto mapped = loaded.payload.files.find(file.name);
    ASSERT_NE(mapped, loaded.payload.files.end()) << file.name;
    EXPECT_EQ(file.bytes, mapped->second) << file.name;
    if (file.name.find(".live.") == std::string::npos) {
      EXPECT_EQ(file.bytes.data(), mapped->second.data()) << file.name << " was copied";
      ++viewed;
    }
  }
  EXPECT_GE(viewed, 2u);  // a segment and a term table

  lumo::index::OpenedPayload wrong = loaded.payload;
  wrong.engine_json = "{\"documents\":3,\"live_documents\":3,\"terms\":" + std::to_string(index->term_count()) + "}";
  EXPECT_THROW(lumo::index::InvertedIndex::FromCommitPayload(wrong, 1.2, 0.75), CorruptIndex);
  wrong.engine_json = "{\"documents\": 3}";
  EXPECT_THROW(lumo::index::InvertedIndex::FromCommitPayload(wrong, 1.2, 0.75), CorruptIndex);
  wrong = loaded.payload;
  for (auto it = wrong.files.begin(); it != wrong.files.end(); ++it) {
    if (it->first.find(".live.") != std::string::npos) {
      wrong.files.erase(it);
      break;
    }
  }
  EXPECT_THROW(lumo::index::InvertedIndex::FromCommitPayload(wrong, 1.2, 0.75), CorruptIndex);
}

// The seeds of the loader's fuzz target are whole indexes, so fuzzing starts from inputs that
// reach the engine, not only the commit file's checks.
TEST(IndexLoaderFuzzSeeds, WholeSeedsLoad) {
  const fs::path dir =
      fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / "index_loader";
  std::size_t loaded = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("seed_", 0) != 0 || name.find("truncated") != std::string::npos) continue;
    TempDir tmp;
    const std::uint8_t flags = lumo::fuzz::WriteIndexInput(ReadAll(entry.path()), tmp.path().string());
    const auto directory = lumo::index::LoadIndexDirectory(tmp.path().string(), (flags & 1) != 0);
    EXPECT_NO_THROW(lumo::index::InvertedIndex::FromCommitPayload(directory.payload, 1.2, 0.75)) << name;
    ++loaded;
  }
  EXPECT_GE(loaded, 5u);
}

}  // namespace
