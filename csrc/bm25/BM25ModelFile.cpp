// The model file of the encoder: written and read through ModelText.h.
#include <ostream>
#include <utility>

#include "bm25/BM25.h"
#include "bm25/ModelFileWriter.h"
#include "bm25/ModelText.h"

namespace lumo::typing::text {

void BM25::dump(const std::string& path) const {
  // Checked before the file is touched, so a refused model writes nothing.
  RequireWritableDoubles(_b, _doc_length_average, _k1);
  WriteModelFile(path, [this](std::ostream& out) { dump(out); });
}

void BM25::dump(std::ostream& out) const {
  WriteModelText(out, _b, _doc_count, _doc_length_average, _doc_token_frequency, _k1);
}

void BM25::load(const std::string& text) {
  // Everything is read and checked first; the object changes only after the whole document has
  // passed.
  ModelStatistics incoming = ParseModelText(text);

  // Commit. Room for every incoming key is made first, so taking the keys over (moved, not
  // copied) allocates nothing and cannot fail half-way. Counts overwrite per key; other keys
  // stay.
  if (_doc_token_frequency.empty()) {
    std::swap(_doc_token_frequency, incoming.token_frequency);
  } else {
    _doc_token_frequency.reserve(_doc_token_frequency.size() + incoming.token_frequency.size());
    for (auto& [key, count] : incoming.token_frequency) _doc_token_frequency.insert_or_assign(std::move(key), count);
  }
  _doc_count = incoming.doc_count;
  _doc_length_total = incoming.doc_length_total;
  _doc_length_average = incoming.doc_length_average;
  _b = incoming.b;
  _k1 = incoming.k1;
}

}  // namespace lumo::typing::text
