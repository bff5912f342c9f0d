#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/FullSegment.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/HMMSegment.h"
#include "tokenizer/jieba/KeywordExtractor.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/QuerySegment.h"

namespace lumo::typing::text::jieba {

// The tokenizer: loads every data file once and builds all segmenters over the shared dictionary
// and HMM model. Read-only after construction, so any number of threads may cut at once.
//
// The resources are declared first: members are built in declaration order and destroyed in
// reverse, so every segmenter is built after and destroyed before what it points to. A loader
// that fails throws out of the constructor, and the members built so far are torn down: no
// half-built tokenizer exists.
class Jieba {
 public:
  Jieba(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
        const std::string& idf_path, const std::string& stop_word_path)
      : dict_trie_(dict_path, user_dict_path, DictTrie::UserWordWeightMedian),
        hmm_model_(hmm_path),
        mp_segment_(&dict_trie_),
        hmm_segment_(&hmm_model_),
        mix_segment_(&dict_trie_, &hmm_model_),
        full_segment_(&dict_trie_),
        query_segment_(&dict_trie_, &hmm_model_),
        keyword_extractor_(&dict_trie_, &hmm_model_, idf_path, stop_word_path) {}

  // The segmenters point into this object.
  Jieba(const Jieba&) = delete;
  Jieba& operator=(const Jieba&) = delete;

  // Replaces `words` by the words of `sentence`; they concatenate back to the sentence.
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    mix_segment_.Cut(sentence, words, hmm);
  }

  // The same words as views into `sentence`, valid while it is alive and unchanged: for callers
  // that convert the words anyway and need no copy of them first.
  void Cut(const std::string& sentence, std::vector<std::string_view>& words, bool hmm) const {
    mix_segment_.Cut(sentence, words, hmm);
  }

  // The same words as byte offsets and lengths in `sentence`: the smallest result, 8 bytes a
  // word, for callers that make their own strings of them.
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm) const {
    mix_segment_.Cut(sentence, words, hmm);
  }

  // Replaces `words` by the search-mode words: each word preceded by its dictionary sub-words.
  void CutForSearch(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    query_segment_.Cut(sentence, words, hmm);
  }

  void CutForSearch(const std::string& sentence, std::vector<std::string_view>& words, bool hmm) const {
    query_segment_.Cut(sentence, words, hmm);
  }

  void CutForSearch(const std::string& sentence, std::vector<WordSpan>& words, bool hmm) const {
    query_segment_.Cut(sentence, words, hmm);
  }

  const DictTrie& GetDictTrie() const { return dict_trie_; }
  const HMMModel& GetHMMModel() const { return hmm_model_; }
  const MPSegment& GetMPSegment() const { return mp_segment_; }
  const HMMSegment& GetHMMSegment() const { return hmm_segment_; }
  const MixSegment& GetMixSegment() const { return mix_segment_; }
  const FullSegment& GetFullSegment() const { return full_segment_; }
  const QuerySegment& GetQuerySegment() const { return query_segment_; }
  const KeywordExtractor& GetKeywordExtractor() const { return keyword_extractor_; }

 private:
  DictTrie dict_trie_;
  HMMModel hmm_model_;
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  MixSegment mix_segment_;
  FullSegment full_segment_;
  QuerySegment query_segment_;
  KeywordExtractor keyword_extractor_;
};

}  // namespace lumo::typing::text::jieba
