// Python face of the tokenizer. Segmenting runs with the interpreter lock released: the native
// tokenizer is read-only after construction and every call keeps its working data local, so
// threads may cut on one object at once. Argument and result conversion hold the lock, so the
// result conversion is kept lean (see WordList).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/bindings.h"
#include "tokenizer/jieba/Jieba.h"
#include "tokenizer/limonp/Utf8.h"

namespace lumo::typing::text::pybind {
namespace {

// The words of one cut, on their way to a Python list[str]: byte spans of the sentence
// argument, which outlives the conversion (8 bytes a word while the list is built).
struct WordList {
  std::string_view text;
  std::vector<jieba::WordSpan> words;
};

// Strict UTF-8 (what Python's decoder accepts): counts the code points and finds the largest.
// False for anything Python would reject -- overlong forms, surrogates, values above U+10FFFF,
// stray or missing continuation bytes.
bool MeasureUtf8(const unsigned char* s, std::size_t n, std::size_t& count, std::uint32_t& max_char) {
  count = 0;
  max_char = 0;
  for (std::size_t i = 0; i < n; ++count) {
    const utf8::Decoded decoded = utf8::Decode(s + i, n - i);
    if (decoded.form != utf8::Form::kValid) return false;
    if (decoded.rune > max_char) max_char = decoded.rune;
    i += decoded.length;
  }
  return true;
}

// Decodes text already validated by MeasureUtf8 into code units of type T.
template <class T>
void DecodeInto(const unsigned char* s, std::size_t n, T* out) {
  for (std::size_t i = 0; i < n;) {
    const utf8::Decoded decoded = utf8::Decode(s + i, n - i);
    *out++ = static_cast<T>(decoded.rune);
    i += decoded.length;
  }
}

// A new str holding `text`; null with UnicodeDecodeError set when `text` is not valid UTF-8.
// Python's own decoder grows and shrinks its buffer for non-ASCII text; here the size and kind
// are known first, so each word costs exactly one allocation.
PyObject* WordToStr(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t count;
  std::uint32_t max_char;
  if (!MeasureUtf8(s, n, count, max_char)) {
    // Let Python raise its decoding error, with the position and reason it reports.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(n), nullptr);
  }
  if (count == 1 && max_char < 0x100) {
    return PyUnicode_FromOrdinal(static_cast<int>(max_char));  // shared one-character strings
  }
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(count), static_cast<Py_UCS4>(max_char));
  if (str == nullptr) return nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      if (max_char < 0x80) {
        std::copy(s, s + n, PyUnicode_1BYTE_DATA(str));
      } else {
        DecodeInto(s, n, PyUnicode_1BYTE_DATA(str));
      }
      break;
    case PyUnicode_2BYTE_KIND:
      DecodeInto(s, n, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      DecodeInto(s, n, PyUnicode_4BYTE_DATA(str));
      break;
  }
  return str;
}

}  // namespace
}  // namespace lumo::typing::text::pybind

namespace pybind11::detail {

// Presents the words as list[str], the signature of a std::vector<std::string> result.
template <>
struct type_caster<lumo::typing::text::pybind::WordList> {
  using Result = lumo::typing::text::pybind::WordList;
  PYBIND11_TYPE_CASTER(Result, const_name("list[str]"));

  bool load(handle, bool) { return false; }  // results only

  static handle cast(const Result& src, return_value_policy, handle) {
    const auto& words = src.words;
    list out(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      PyObject* word = lumo::typing::text::pybind::WordToStr(src.text.substr(words[i].offset, words[i].length));
      if (word == nullptr) throw error_already_set();
      PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), word);
    }
    return out.release();
  }
};

}  // namespace pybind11::detail

namespace py = pybind11;

namespace lumo::typing::text::pybind {

void BindJieba(py::module_& m) {
  using jieba::Jieba;
  // `self` comes in as its holder: an instance made by __new__ without __init__ has no holder,
  // and the holder cast refuses it (RuntimeError). Taken by reference, pybind11 would hand the
  // method uninitialised memory instead.
  using Handle = std::shared_ptr<Jieba>;
  py::class_<Jieba, Handle>(m, "Jieba")
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&>(),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"), py::arg("idf_path"),
           py::arg("stop_word_path"))
      .def(
          "cut",
          [](const Handle& self, const std::string& sentence) {
            WordList result{sentence, {}};
            self->Cut(sentence, result.words, true);
            return result;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>())
      .def(
          "cut_for_search",
          [](const Handle& self, const std::string& sentence) {
            WordList result{sentence, {}};
            self->CutForSearch(sentence, result.words, true);
            return result;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>());
}

}  // namespace lumo::typing::text::pybind
