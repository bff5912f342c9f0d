// The index as a commit payload (its segments, live-document bitsets, dictionary tables and
// description), and back.
#include "index/InvertedIndex.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "index/EngineDescription.h"
#include "index/IndexState.h"

namespace lumo::index {

namespace {

constexpr const char* kEngineName = "lumotext-segments";
constexpr std::int64_t kEngineVersion = 1;
// An index that stores documents says this version, so that a release from before stored
// documents refuses it instead of loading it and saving it again without its texts.
constexpr std::int64_t kStoringEngineVersion = 2;

std::shared_ptr<const std::string> BytesOf(std::string_view bytes) {
  return std::make_shared<const std::string>(bytes);
}

}  // namespace

CommitPayload InvertedIndex::ToCommitPayload() const {
  std::lock_guard<std::mutex> writing(writer_);
  // Writers are held off, so what follows reads one state; readers only need to be kept out
  // while the dictionary's new terms become a table.
  {
    auto* self = const_cast<InvertedIndex*>(this);
    std::unique_lock<std::shared_mutex> lock(mutex_);
    self->lexicon_.SealAdded(self->NewName("terms_") + ".lex");
  }
  CommitPayload payload;
  std::string json = std::string("{\"engine\": \"") + kEngineName +
                     "\", \"version\": " + std::to_string(store_documents_ ? kStoringEngineVersion : kEngineVersion) +
                     ", \"documents\": " + std::to_string(document_count_) +
                     ", \"next_term\": " + std::to_string(lexicon_.next_id()) +
                     ", \"store\": " + (store_documents_ ? "true" : "false") + ", \"term_tables\": [";
  for (std::size_t i = 0; i < lexicon_.tables().size(); ++i) {
    const TermTable& table = lexicon_.tables()[i];
    json += (i ? ", \"" : "\"") + table.name() + "\"";
    payload.files.emplace_back(table.name(), table.bytes(), table.owner());
  }
  json += "], \"segments\": [";
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const SegmentState& state = *segments_[i];
    if (state.live_name.empty()) {
      state.live_name = state.name + ".live." + std::to_string(state.live_generation) + "_" + Hex8(salt_());
    }
    const std::string segment_file = state.name + ".seg";
    json += std::string(i ? ", " : "") + "{\"file\": \"" + segment_file + "\", \"live_file\": \"" + state.live_name +
            "\", \"base\": " + std::to_string(state.base) +
            ", \"documents\": " + std::to_string(state.segment->doc_count()) +
            ", \"live\": " + std::to_string(state.live_count) + ", \"words\": " + std::to_string(state.totals[0]) +
            ", \"bigrams\": " + std::to_string(state.totals[1]);
    // Immutable bytes, held by their owner (a built string or the mapping of a loaded save): a
    // view, never a copy. The live bitset changes under later removals, so it is copied.
    if (state.store != nullptr) {
      json += ", \"store_file\": \"" + state.name + ".docs\"";
      payload.files.emplace_back(state.name + ".docs", state.store->bytes(), state.store->owner());
    }
    json += "}";
    payload.files.emplace_back(segment_file, state.segment->bytes(), state.segment->owner());
    payload.files.emplace_back(
        state.live_name,
        BytesOf(std::string_view(reinterpret_cast<const char*>(state.live.data()), state.live.size() * 8)));
  }
  json += "]}";
  payload.engine_json = std::move(json);
  return payload;
}

std::unique_ptr<InvertedIndex> InvertedIndex::FromCommitPayload(const OpenedPayload& payload, double k1, double b) {
  using typing::text::json::JSON;
  auto bad = [](const std::string& why) { return CorruptIndex("damaged index: " + why); };
  if (payload.files.count("term_text.bin") != 0 && payload.engine_json.find(kEngineName) == std::string::npos) {
    return FromFirstFormat(payload, k1, b);
  }
  const JSON root = ParseEngineDescription(payload.engine_json);
  if (root.GetKind() != JSON::Kind::Object) throw bad("the engine description is not a JSON object");
  const auto& fields = root.Entries();
  // Indexes saved before documents were stored say nothing of a store: they store nothing.
  bool store = false;
  if (auto it = fields.find("store"); it != fields.end()) {
    bool ok = false;
    store = it->second.AsBool(ok);
    if (!ok) throw bad("the engine description's store is not true or false");
  }
  std::unique_ptr<InvertedIndex> index;
  try {
    index = std::make_unique<InvertedIndex>(k1, b, store);
  } catch (const InvalidArgument& e) {
    // k1 and b come from the saved commit: outside their ranges the save is damaged.
    throw bad(std::string("its k1 or b is out of range (") + e.what() + ")");
  }
  auto member = [&](const JSON::ObjectMap& object, const char* key) -> const JSON& {
    auto it = object.find(key);
    if (it == object.end()) throw bad(std::string("the engine description has no ") + key);
    return it->second;
  };
  auto integer = [&](const JSON::ObjectMap& object, const char* key, std::uint64_t largest) {
    bool ok = false;
    const std::int64_t value = member(object, key).AsInteger(ok);
    if (!ok || value < 0 || static_cast<std::uint64_t>(value) > largest) {
      throw bad(std::string("the engine description's ") + key + " is not a number from 0 to " +
                std::to_string(largest));
    }
    return static_cast<std::uint64_t>(value);
  };
  auto text = [&](const JSON& value, const char* what) {
    bool ok = false;
    std::string s = value.AsString(ok);
    if (!ok) throw bad(std::string(what) + " is not a string");
    return s;
  };
  auto file = [&](const std::string& name) {
    auto it = payload.files.find(name);
    if (it == payload.files.end()) throw bad("the commit does not hold " + name);
    return it->second;
  };
  if (text(member(fields, "engine"), "the engine name") != kEngineName) throw bad("not an index of this engine");
  const std::uint64_t version = integer(fields, "version", 1u << 30);
  if (version != static_cast<std::uint64_t>(kEngineVersion) &&
      version != static_cast<std::uint64_t>(kStoringEngineVersion)) {
    throw bad("engine version " + std::to_string(version) + " is not one this release reads");
  }
  index->document_count_ = integer(fields, "documents", kMaxDocuments);
  const std::uint64_t next_term = integer(fields, "next_term", std::uint64_t{kLargestTermId} + 1);
  std::vector<TermTable> tables;
  for (const JSON& name_value : member(fields, "term_tables").Elements()) {
    const std::string name = text(name_value, "a term table name");
    tables.emplace_back(name, file(name), payload.owner);
  }
  index->lexicon_.Restore(std::move(tables), static_cast<std::uint32_t>(next_term));
  std::uint64_t previous_end = 0;
  for (const JSON& item : member(fields, "segments").Elements()) {
    if (item.GetKind() != JSON::Kind::Object) throw bad("a segment description is not an object");
    const auto& seg = item.Entries();
    auto state = std::make_unique<SegmentState>();
    const std::string segment_file = text(member(seg, "file"), "a segment file name");
    if (segment_file.size() < 5 || segment_file.compare(segment_file.size() - 4, 4, ".seg") != 0) {
      throw bad("segment file " + segment_file + " is not named .seg");
    }
    state->name = segment_file.substr(0, segment_file.size() - 4);
    state->segment = std::make_shared<const Segment>(file(segment_file), payload.owner);
    state->base = integer(seg, "base", kMaxDocuments);
    if (state->base < previous_end || state->end() > index->document_count_ ||
        integer(seg, "documents", kMaxDocuments) != state->segment->doc_count()) {
      throw bad("segment " + state->name + " does not fit the document numbers");
    }
    previous_end = state->end();
    if (auto it = seg.find("store_file"); it != seg.end()) {
      if (!store) throw bad("segment " + state->name + " stores documents in an index that does not");
      const std::string store_file = text(it->second, "a store file name");
      state->store = std::make_shared<const DocumentStore>(file(store_file), payload.owner);
      if (state->store->doc_count() != state->segment->doc_count()) {
        throw bad(store_file + " does not hold a record per document of its segment");
      }
    } else if (store) {
      throw bad("segment " + state->name + " has no stored documents");
    }
    state->live_name = text(member(seg, "live_file"), "a live-documents file name");
    const std::string_view live = file(state->live_name);
    const std::uint64_t words = WordsFor(state->segment->doc_count());
    if (live.size() != words * 8) throw bad(state->live_name + " does not hold a bit per document");
    state->live.resize(words);
    if (words > 0) std::memcpy(state->live.data(), live.data(), live.size());
    std::uint64_t count = 0;
    for (std::uint64_t w = 0; w < words; ++w) {
      std::uint64_t bits = state->live[w];
      const std::uint64_t past = state->segment->doc_count() - w * 64;
      if (past < 64 && (bits >> past) != 0) throw bad(state->live_name + " marks documents past the segment");
      count += static_cast<std::uint64_t>(__builtin_popcountll(bits));
      // Removed documents that still have postings: their lengths were kept.
      for (std::uint64_t dead = ~bits & (past < 64 ? (std::uint64_t{1} << past) - 1 : ~std::uint64_t{0}); dead != 0;
           dead &= dead - 1) {
        const auto local = static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(dead)));
        if (state->segment->Length(local, 0) + std::uint64_t{state->segment->Length(local, 1)} > 0) {
          state->removed.push_back(local);
        }
      }
    }
    if (count != integer(seg, "live", kMaxDocuments)) throw bad(state->live_name + " disagrees with its live count");
    state->live_count = static_cast<std::uint32_t>(count);
    state->totals[0] = integer(seg, "words", ~std::uint64_t{0} >> 8);
    state->totals[1] = integer(seg, "bigrams", ~std::uint64_t{0} >> 8);
    const auto dot = state->live_name.rfind(".live.");
    if (dot == std::string::npos) throw bad(state->live_name + " is not named as a live-documents file");
    state->live_generation = std::strtoull(state->live_name.c_str() + dot + 6, nullptr, 10);
    index->live_count_ += count;
    for (int f = 0; f < 2; ++f) index->total_length_[f] += state->totals[f];
    index->segments_.push_back(std::move(state));
  }
  if (index->live_count_ > index->document_count_) throw bad("more live documents than documents");
  index->mapped_ = payload.owner;
  return index;
}

}  // namespace lumo::index
