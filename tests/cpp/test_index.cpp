// The native index: character folding and its table, term filtering, BM25 statistics after
// adds and removes, thread independence, the payload's validation, merging, and the replay
// of the loader's fuzz corpus. Segments, pruning and bounds are in test_index_engine.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "capture_stderr.h"
#include "index/Analyzer.h"
#include "index/CharFolding.h"
#include "index/Checksum.h"
#include "index/InvertedIndex.h"
#include "index/Lexicon.h"

namespace {

using lumo::fuzz::FuzzAnalyzer;
using lumo::fuzz::PayloadInput;
using lumo::fuzz::SplitPayloadInput;
using lumo::index::CharTable;
using lumo::index::InvertedIndex;
using lumo::index::ScoredDocument;

std::string Fold(const std::string& text, const CharTable* table) {
  std::string out;
  lumo::index::FoldText(text, table, out);
  return out;
}

TEST(CharTable, ReadsPairsAndSkipsCommentsAndBlankLines) {
  const CharTable table = CharTable::FromText("# comment\n\n國\t国\r\n門\t门\n", "t");
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(Fold("中國的門ABC", &table), "中国的门abc");
}

class BadTableLine : public ::testing::TestWithParam<const char*> {};
TEST_P(BadTableLine, IsRefusedNamingTheLine) {
  try {
    CharTable::FromText(std::string("國\t国\n") + GetParam() + "\n", "t2s.tsv");
    FAIL() << "accepted " << GetParam();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("t2s.tsv line 2"), std::string::npos) << e.what();
  }
}
INSTANTIATE_TEST_SUITE_P(Lines, BadTableLine,
                         ::testing::Values("國国", "國\t", "國\t国国", "國國\t国", "A\t国", "國\tA", "\t国"));

TEST(CharFolding, FullWidthFormsBecomeLowerCaseAscii) {
  EXPECT_EQ(Fold("ＡＢＣｄ１２３，！　Ｚ", nullptr), "abcd123,! z");
  EXPECT_EQ(Fold("İ", nullptr), "İ");  // only ASCII letters change case
}

class WordCharacter : public ::testing::TestWithParam<std::pair<const char*, bool>> {};
TEST_P(WordCharacter, DecidesWhetherATermIsKept) {
  EXPECT_EQ(lumo::index::HasWordCharacter(GetParam().first), GetParam().second) << GetParam().first;
}
INSTANTIATE_TEST_SUITE_P(Terms, WordCharacter,
                         ::testing::Values(std::pair{"，", false}, std::pair{"。」", false}, std::pair{" \t", false},
                                           std::pair{"…", false}, std::pair{"a", true}, std::pair{"7", true},
                                           std::pair{"中", true}, std::pair{"〇", true}, std::pair{"-a-", true},
                                           std::pair{"★", false}, std::pair{"", false}));

TEST(Checksum, SeesEveryByteAndTheLength) {
  std::string data(1000, 'x');
  const auto base = lumo::index::Checksum64(data.data(), data.size());
  for (std::size_t at : {0u, 31u, 32u, 500u, 999u}) {
    std::string changed = data;
    changed[at] ^= 1;
    EXPECT_NE(lumo::index::Checksum64(changed.data(), changed.size()), base) << at;
  }
  EXPECT_NE(lumo::index::Checksum64(data.data(), data.size() - 1), base);
}

// Words of the fuzz tokenizer's dictionary: 中 国 人 中国 中国人 ab.
const std::vector<std::string> kDocs = {"中国 ab", "中国人 中国人 ab ab ab", "人 人", "ab", "国 中", "中国 人 ab"};

std::unique_ptr<InvertedIndex> Build(const std::vector<std::string>& docs, unsigned threads) {
  auto index = std::make_unique<InvertedIndex>(1.2, 0.75);
  index->Add(docs, *FuzzAnalyzer(), threads);
  return index;
}

std::vector<std::vector<ScoredDocument>> AllSearches(const InvertedIndex& index) {
  std::vector<std::vector<ScoredDocument>> out;
  for (const char* q : {"中国", "ab", "人 ab", "国", "中国人 中国人"})
    out.push_back(index.Search(q, *FuzzAnalyzer(), 10));
  return out;
}

void ExpectSameResults(const std::vector<std::vector<ScoredDocument>>& a,
                       const std::vector<std::vector<ScoredDocument>>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), b[i].size()) << i;
    for (std::size_t j = 0; j < a[i].size(); ++j) {
      EXPECT_EQ(a[i][j].doc, b[i][j].doc) << i << "," << j;
      EXPECT_FLOAT_EQ(a[i][j].score, b[i][j].score) << i << "," << j;
    }
  }
}

TEST(InvertedIndex, StatisticsCountLiveDocumentsOnly) {
  auto index = Build(kDocs, 1);
  EXPECT_EQ(index->DocumentFrequency("ab"), 4u);
  const auto words_before = index->total_length(0);
  const auto length1 = index->DocumentLength(1, 0);
  index->Remove({1, 3});
  EXPECT_EQ(index->live_count(), 4u);
  EXPECT_EQ(index->document_count(), 6u);
  EXPECT_EQ(index->DocumentFrequency("ab"), 2u);
  EXPECT_EQ(index->DocumentFrequency("中国人"), 0u);
  EXPECT_EQ(index->total_length(0), words_before - length1 - 1);  // document 3 is the one word "ab"
  // The same as a build of the remaining documents, numbers aside.
  auto rebuilt = Build({kDocs[0], kDocs[2], kDocs[4], kDocs[5]}, 1);
  const std::map<std::uint32_t, std::uint32_t> renumber = {{0, 0}, {2, 1}, {4, 2}, {5, 3}};
  for (const char* q : {"中国", "ab", "人 ab", "国"}) {
    auto got = index->Search(q, *FuzzAnalyzer(), 10);
    auto want = rebuilt->Search(q, *FuzzAnalyzer(), 10);
    ASSERT_EQ(got.size(), want.size()) << q;
    for (std::size_t j = 0; j < got.size(); ++j) {
      EXPECT_EQ(renumber.at(got[j].doc), want[j].doc) << q;
      EXPECT_FLOAT_EQ(got[j].score, want[j].score) << q;
    }
  }
}

TEST(InvertedIndex, RemoveIsAllOrNothing) {
  auto index = Build(kDocs, 1);
  EXPECT_THROW(index->Remove({0, 99}), lumo::index::UnknownDocument);
  EXPECT_THROW(index->Remove({2, 2}), lumo::index::UnknownDocument);
  EXPECT_EQ(index->live_count(), kDocs.size());
  index->Remove({0});
  EXPECT_THROW(index->Remove({0}), lumo::index::UnknownDocument);
}

TEST(InvertedIndex, TiesGoToTheLowerNumber) {
  auto index = Build({"人", "ab", "人", "人"}, 1);
  const auto results = index->Search("人", *FuzzAnalyzer(), 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].doc, 0u);
  EXPECT_EQ(results[1].doc, 2u);
  EXPECT_EQ(results[0].score, results[1].score);
}

void ExpectSameVectors(const InvertedIndex& a, const InvertedIndex& b) {
  const auto x = a.DocumentVectors(0, a.document_count());
  const auto y = b.DocumentVectors(0, b.document_count());
  EXPECT_EQ(x.rows, y.rows);
  EXPECT_EQ(x.row_starts, y.row_starts);
  EXPECT_EQ(x.indices, y.indices);
  EXPECT_EQ(x.values, y.values);
}

TEST(InvertedIndex, ThreadsDoNotChangeTheIndex) {
  std::vector<std::string> docs;
  for (int i = 0; i < 500; ++i)
    docs.push_back(kDocs[i % kDocs.size()] + (i % 7 == 0 ? " 新词" + std::to_string(i) : ""));
  auto one = Build(docs, 1);
  auto four = Build(docs, 4);
  ExpectSameVectors(*one, *four);
  EXPECT_EQ(one->term_count(), four->term_count());
  std::vector<std::string> queries(100, "中国 ab");
  std::vector<std::vector<ScoredDocument>> r1, r2;
  one->SearchMany(queries, *FuzzAnalyzer(), 10, 1, r1);
  one->SearchMany(queries, *FuzzAnalyzer(), 10, 3, r2);
  ExpectSameResults(r1, r2);
}

TEST(InvertedIndex, APayloadLoadsToTheSameIndexWhichStillGrows) {
  auto built = Build(kDocs, 1);
  built->Add({"中国 人"}, *FuzzAnalyzer(), 1);
  built->Remove({2});
  const auto payload = SplitPayloadInput(PayloadInput(built->ToCommitPayload()));
  auto loaded = InvertedIndex::FromCommitPayload(payload.opened, 1.2, 0.75);
  ExpectSameResults(AllSearches(*built), AllSearches(*loaded));
  ExpectSameVectors(*built, *loaded);
  EXPECT_EQ(loaded->DocumentFrequency("人"), built->DocumentFrequency("人"));
  built->Add({"中国 中国 人"}, *FuzzAnalyzer(), 1);
  loaded->Add({"中国 中国 人"}, *FuzzAnalyzer(), 1);
  loaded->Remove({0});
  built->Remove({0});
  ExpectSameResults(AllSearches(*built), AllSearches(*loaded));
  ExpectSameVectors(*built, *loaded);
}

TEST(InvertedIndex, MergeEqualsOneBuild) {
  auto whole = Build(kDocs, 1);
  auto first = Build({kDocs.begin(), kDocs.begin() + 2}, 1);
  auto second = Build({kDocs.begin() + 2, kDocs.end()}, 1);
  auto merged = InvertedIndex::Merge({first.get(), second.get()}, 1.2, 0.75);
  ExpectSameVectors(*whole, *merged);
  ExpectSameResults(AllSearches(*whole), AllSearches(*merged));
}

TEST(InvertedIndex, VectorDotProductIsTheScore) {
  auto index = Build(kDocs, 1);
  index->Remove({4});
  const auto rows = index->DocumentVectors(0, 100);
  for (const char* q : {"中国", "人 ab", "中国人 中国人 国"}) {
    std::vector<std::uint32_t> qi;
    std::vector<float> qv;
    index->QueryVector(q, *FuzzAnalyzer(), false, qi, qv);
    std::map<std::uint32_t, float> query;
    for (std::size_t j = 0; j < qi.size(); ++j) query[qi[j]] = qv[j];
    std::map<std::uint32_t, float> scores;
    for (const auto& r : index->Search(q, *FuzzAnalyzer(), 100)) scores[r.doc] = r.score;
    for (std::size_t r = 0; r < rows.rows.size(); ++r) {
      float dot = 0;
      for (auto j = rows.row_starts[r]; j < rows.row_starts[r + 1]; ++j) {
        auto it = query.find(rows.indices[j]);
        if (it != query.end()) dot += it->second * rows.values[j];
      }
      const float want = scores.count(rows.rows[r]) ? scores[rows.rows[r]] : 0.0f;
      EXPECT_NEAR(dot, want, 1e-5f * std::max(1.0f, want)) << q << " doc " << rows.rows[r];
    }
  }
}

// A payload whose description or files disagree is refused before anything is built.
struct Damage {
  const char* name;
  void (*apply)(std::string& json, std::map<std::string, std::string>& files);
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

std::string& FileEnding(std::map<std::string, std::string>& files, const std::string& ending) {
  for (auto& [name, bytes] : files) {
    if (name.size() >= ending.size() && name.find(ending) != std::string::npos) return bytes;
  }
  throw std::logic_error("no file named *" + ending);
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("no " + from + " in " + text);
  text.replace(at, from.size(), to);
}

// Term ids stay below 2^31 (segments keep the field in the top bit): the dictionary gives out
// the last one and then refuses new terms, still finding the ones it has.
TEST(Lexicon, RefusesNewTermsPastTheLargestId) {
  lumo::index::Lexicon lexicon;
  lexicon.Restore({}, lumo::index::kLargestTermId);
  EXPECT_EQ(lexicon.Intern("last"), lumo::index::kLargestTermId);
  EXPECT_THROW(lexicon.Intern("one more"), lumo::index::InvalidArgument);
  EXPECT_EQ(lexicon.Intern("last"), lumo::index::kLargestTermId);
  EXPECT_EQ(lexicon.Find("one more"), lumo::index::kNoTerm);
}

// New terms are packed in chunks with an open-addressing table over them: every term keeps its
// id through the table's growth, chunk boundaries, terms longer than a chunk and a seal.
TEST(Lexicon, NewTermsKeepTheirIdsThroughGrowthAndSeal) {
  lumo::index::Lexicon lexicon;
  lexicon.Restore({}, 7);
  std::vector<std::string> terms;
  for (int i = 0; i < 50000; ++i) terms.push_back("t" + std::to_string(i) + std::string(i % 23, 'x'));
  terms.push_back(std::string(200000, 'L'));  // longer than a chunk
  terms.push_back("");
  for (std::size_t i = 0; i < terms.size(); ++i) ASSERT_EQ(lexicon.Intern(terms[i]), 7 + i) << i;
  auto check = [&] {
    for (std::size_t i = 0; i < terms.size(); ++i) ASSERT_EQ(lexicon.Find(terms[i]), 7 + i) << i;
    EXPECT_EQ(lexicon.Find("t1xx"), lumo::index::kNoTerm);
    EXPECT_EQ(lexicon.Find(std::string(200001, 'L')), lumo::index::kNoTerm);
  };
  check();
  EXPECT_EQ(lexicon.AllTerms().size(), terms.size());
  lexicon.SealAdded("terms");
  check();
  EXPECT_EQ(lexicon.Intern("after the seal"), 7 + terms.size());
  EXPECT_EQ(lexicon.Find("after the seal"), 7 + terms.size());
}

// An add that fails part way takes back the ids it gave out: the terms before stay where they
// are, the newer ones are gone (their text and slots too), and the next new terms get the same
// ids again. Both ways back are taken: clearing the newest slots one by one when most terms
// stay, and placing the kept ones anew when most go.
TEST(Lexicon, ForgettingTheNewestIdsLeavesTheDictionaryAsBefore) {
  for (const std::size_t kept : {std::size_t{30000}, std::size_t{1500}, std::size_t{0}}) {
    lumo::index::Lexicon lexicon;
    lexicon.Restore({}, 3);
    std::vector<std::string> terms;
    for (std::size_t i = 0; i < 40000; ++i) terms.push_back("t" + std::to_string(i) + std::string(i % 19, 'x'));
    terms[kept + 5] = std::string(100000, 'L');  // a chunk of its own among the dropped terms
    terms[kept + 6] = "";
    for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lexicon.Intern(terms[i]), 3 + i);
    const auto mark = static_cast<std::uint32_t>(lexicon.next_id());
    for (std::size_t i = kept; i < terms.size(); ++i) ASSERT_EQ(lexicon.Intern(terms[i]), 3 + i);
    lexicon.ForgetSince(mark);
    EXPECT_EQ(lexicon.next_id(), mark) << kept;
    EXPECT_EQ(lexicon.AllTerms().size(), kept);
    for (std::size_t i = 0; i < terms.size(); ++i) {
      ASSERT_EQ(lexicon.Find(terms[i]), i < kept ? 3 + i : lumo::index::kNoTerm) << kept << " " << i;
    }
    for (std::size_t i = terms.size(); i-- > kept;) ASSERT_EQ(lexicon.Intern(terms[i]), mark + (terms.size() - 1 - i));
    for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lexicon.Find(terms[i]), 3 + i);
  }
}

// A writer makes room for the terms it is about to add ahead, outside the readers' lock: the
// table built then holds every term where lookups find it, and the terms added after it is put
// in place keep their ids.
TEST(Lexicon, RoomMadeAheadKeepsEveryTermFound) {
  lumo::index::Lexicon lexicon;
  std::vector<std::string> terms;
  for (int i = 0; i < 30000; ++i) terms.push_back("r" + std::to_string(i));
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(lexicon.Intern(terms[i]), i);
  std::vector<std::uint32_t> slots = lexicon.SlotsWithRoomFor(terms.size() - 1000);
  EXPECT_GE(slots.size(), 2 * terms.size());
  lexicon.InstallSlots(std::move(slots));
  EXPECT_TRUE(lexicon.SlotsWithRoomFor(terms.size() - 1000).empty());  // the room is there now
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(lexicon.Find(terms[i]), i);
  for (std::size_t i = 1000; i < terms.size(); ++i) ASSERT_EQ(lexicon.Intern(terms[i]), i);
  for (std::size_t i = 0; i < terms.size(); ++i) ASSERT_EQ(lexicon.Find(terms[i]), i);
  lexicon.InstallSlots({});  // nothing to install: the table stays
  EXPECT_EQ(lexicon.Find(terms.back()), terms.size() - 1);
}

// A saved table naming an id the dictionary never gave out (damage) reads as absent: the term is
// given a new id instead of one a segment cannot hold.
TEST(Lexicon, ASavedIdPastTheNextOneReadsAsAbsent) {
  const auto bytes = lumo::index::TermTable::Build({{"kept", 1}, {"damaged", 0x90000000u}});
  std::vector<lumo::index::TermTable> tables;
  tables.emplace_back("terms", *bytes, bytes);
  lumo::index::Lexicon lexicon;
  lexicon.Restore(std::move(tables), 2);
  EXPECT_EQ(lexicon.Find("kept"), 1u);
  EXPECT_EQ(lexicon.Find("damaged"), lumo::index::kNoTerm);
  EXPECT_EQ(lexicon.Intern("damaged"), 2u);
}

// k1 and b come from the saved commit; values the index would refuse when built are damage.
TEST(InvertedIndex, APayloadWithScoringParametersOutOfRangeIsDamaged) {
  const auto payload = SplitPayloadInput(PayloadInput(Build(kDocs, 1)->ToCommitPayload()));
  for (const auto& [k1, b] : {std::pair<double, double>{1.2, 2.0}, {1.2, -0.5}, {-1.0, 0.75}, {1e9, 0.75}}) {
    EXPECT_THROW(InvertedIndex::FromCommitPayload(payload.opened, k1, b), lumo::index::CorruptIndex) << k1 << " " << b;
  }
}

class DamagedPayloads : public ::testing::TestWithParam<Damage> {};
TEST_P(DamagedPayloads, AreRefused) {
  auto index = Build(kDocs, 1);
  index->Remove({1});
  const auto payload = index->ToCommitPayload();
  std::string json = payload.engine_json;
  std::map<std::string, std::string> files;
  for (const auto& file : payload.files) files[file.name] = std::string(file.bytes);
  GetParam().apply(json, files);
  lumo::index::CommitPayload damaged{json, {}};
  for (const auto& [name, bytes] : files) damaged.files.emplace_back(name, std::make_shared<const std::string>(bytes));
  const auto opened = SplitPayloadInput(PayloadInput(damaged));
  EXPECT_THROW(InvertedIndex::FromCommitPayload(opened.opened, 1.2, 0.75), lumo::index::CorruptIndex);
}
INSTANTIATE_TEST_SUITE_P(
    Payloads, DamagedPayloads,
    ::testing::Values(
        Damage{"segment_cut_short", [](auto&, auto& f) { FileEnding(f, ".seg").pop_back(); }},
        Damage{"segment_magic", [](auto&, auto& f) { FileEnding(f, ".seg")[0] ^= 1; }},
        Damage{"segment_count", [](auto&, auto& f) { FileEnding(f, ".seg")[8] ^= 1; }},
        Damage{"term_table_cut_short", [](auto&, auto& f) { FileEnding(f, ".lex").pop_back(); }},
        Damage{"live_cut_short", [](auto&, auto& f) { FileEnding(f, ".live.").pop_back(); }},
        Damage{"live_bit_past_the_end", [](auto&, auto& f) { FileEnding(f, ".live.")[0] |= char(0x80); }},
        Damage{"live_count", [](auto& j, auto&) { Replace(j, "\"live\": 5", "\"live\": 6"); }},
        Damage{"documents_fewer", [](auto& j, auto&) { Replace(j, "\"documents\": 6,", "\"documents\": 5,"); }},
        Damage{"missing_file", [](auto&, auto& f) { f.erase(f.begin()); }},
        Damage{"other_engine", [](auto& j, auto&) { Replace(j, "lumotext-segments", "other"); }},
        Damage{"number_the_parser_cannot_read", [](auto& j, auto&) { Replace(j, "\"live\": 5", "\"live\": -"); }},
        Damage{"other_version", [](auto& j, auto&) { Replace(j, "\"version\": 1", "\"version\": 3"); }},
        Damage{"not_json", [](auto& j, auto&) { j = "[1, 2]"; }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return info.param.name; });

// Bytes past the header are checked where they are used: any one damaged byte of any file
// gives a refusal or an index whose results stay in range, finite and ordered.
TEST(InvertedIndex, EveryDamagedByteIsRefusedOrHarmless) {
  auto index = Build(kDocs, 1);
  std::vector<std::string> more;
  for (int i = 0; i < 300; ++i) more.push_back(kDocs[i % kDocs.size()] + " 中国");
  index->Add(more, *FuzzAnalyzer(), 1);
  index->Remove({3, 40});
  const std::string input = PayloadInput(index->ToCommitPayload());
  CaptureStderr quiet;
  for (std::size_t at = 0; at < input.size(); at += 3) {
    std::string damaged = input;
    damaged[at] = static_cast<char>(damaged[at] ^ (at % 2 ? 0x10 : 0xFF));
    try {
      lumo::fuzz::CheckIndexLoad(damaged);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "byte " << at << ": " << e.what();
    }
  }
}

TEST(IndexLoaderFuzzCorpus, EveryKeptInputHoldsTheProperty) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / "index_loader";
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CaptureStderr quiet;
    try {
      lumo::fuzz::CheckIndexLoad(input);
    } catch (const std::exception& e) {
      ADD_FAILURE() << entry.path().filename() << ": " << e.what();
    }
    ++count;
  }
  EXPECT_GT(count, 0u);
}

}  // namespace
