#pragma once

// Zero-copy conversions for token lists and sparse vectors at the Python boundary.
//
// `TokenViews` accepts exactly what pybind11's conversion to std::vector<std::string> accepts
// (any sequence but str and bytes, whose elements are all str, bytes or bytearray) and presents
// the same "list[str]" signature, but views the UTF-8 bytes of each str and bytes element in
// place instead of copying them (both are immutable); a bytearray, which Python code may resize
// while the conversion runs, is copied. `IntegerTokens` accepts exactly what the conversion to
// std::vector<long long> accepts, under the same "list[int]" signature, reading exact ints
// directly. `SortedWeightsResult` turns weights already in key order into a new dict, with
// the "dict[K, float]" signature of an ordered map.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::typing::text::pybind {

// String tokens viewed in place, with the Python objects they came from (borrowed: the
// argument sequence or the call's keep-alive list holds them until the call returns).
struct TokenViews {
  std::vector<std::string_view> views;
  std::vector<PyObject*> objects;
  std::vector<std::unique_ptr<std::string>> copies;  // of bytearray tokens, each in its own place

  TokenViews() = default;
  TokenViews(const TokenViews&) = delete;  // views point into `copies`
  TokenViews& operator=(const TokenViews&) = delete;
};

// Weights by position of each distinct token's first occurrence, in token order, over the
// tokens they were computed from: an exact `str` token becomes its own dict key, which spares
// decoding and hashing a new string.
struct StringWeightsResult {
  const TokenViews* tokens;
  std::vector<std::pair<std::size_t, double>> entries;
};

// Integer tokens with the Python objects they came from: an exact `int` token becomes its own
// dict key instead of a newly made one. The objects are borrowed from the argument while no
// Python code can run; once an element's __index__ may run (and change the list), every object
// is also held in `held` until the call returns.
struct IntegerTokens {
  std::vector<long long> values;
  std::vector<PyObject*> objects;
  std::vector<pybind11::object> held;
};

struct IntegerWeightsResult {
  const IntegerTokens* tokens;
  std::vector<std::pair<std::size_t, double>> entries;
};

}  // namespace lumo::typing::text::pybind

namespace pybind11::detail {

template <>
struct type_caster<lumo::typing::text::pybind::TokenViews> {
  PYBIND11_TYPE_CASTER(lumo::typing::text::pybind::TokenViews, const_name("list[str]"));

  bool load(handle src, bool /*convert: string conversion takes no implicit conversions*/) {
    if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) return false;
    value.views.clear();
    value.objects.clear();
    value.copies.clear();
    if (PyList_Check(src.ptr()) || PyTuple_Check(src.ptr())) {
      // The container owns its elements for the whole call, and no Python code runs meanwhile:
      // str, bytes and bytearray are read without calling into Python.
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(src.ptr());
      PyObject** items = PySequence_Fast_ITEMS(src.ptr());
      Reserve(static_cast<std::size_t>(size));
      for (Py_ssize_t i = 0; i < size; ++i) {
        if (!Append(items[i])) return false;
      }
      return true;
    }
    // Any other sequence may hand out temporaries: keep each alive until the call returns.
    auto seq = reinterpret_borrow<sequence>(src);
    Reserve(seq.size());
    for (const auto& item : seq) {
      if (!Append(item.ptr())) return false;
      loader_life_support::add_patient(item);
    }
    return true;
  }

 private:
  void Reserve(std::size_t n) {
    value.views.reserve(n);
    value.objects.reserve(n);
  }

  bool Append(PyObject* object) {
    std::string_view view;
    if (PyUnicode_Check(object)) {
      Py_ssize_t size = -1;
      const char* data = PyUnicode_AsUTF8AndSize(object, &size);
      if (data == nullptr) {
        PyErr_Clear();  // e.g. a lone surrogate: the element does not convert
        return false;
      }
      view = std::string_view(data, static_cast<std::size_t>(size));
    } else if (PyBytes_Check(object)) {
      view = std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    } else if (PyByteArray_Check(object)) {
      value.copies.push_back(std::make_unique<std::string>(PyByteArray_AS_STRING(object),
                                                           static_cast<std::size_t>(PyByteArray_GET_SIZE(object))));
      view = std::string_view(*value.copies.back());
    } else {
      return false;
    }
    value.views.push_back(view);
    value.objects.push_back(object);
    return true;
  }
};

template <>
struct type_caster<lumo::typing::text::pybind::IntegerTokens> {
  PYBIND11_TYPE_CASTER(lumo::typing::text::pybind::IntegerTokens, const_name("list[int]"));

  bool load(handle src, bool convert) {
    if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) return false;
    value.values.clear();
    value.objects.clear();
    value.held.clear();
    if (PyList_Check(src.ptr()) || PyTuple_Check(src.ptr())) {
      PyObject* list = src.ptr();
      Reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list)));
      bool holding = false;
      // The size and the element are read again each time: an element's __index__ may have
      // shrunk or grown the list, or dropped the tokens read before.
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(list, i);
        if (!PyLong_CheckExact(item) && !holding) {
          holding = true;  // Python code may run from here on
          value.held.reserve(value.objects.capacity());
          for (PyObject* earlier : value.objects) value.held.push_back(reinterpret_borrow<object>(earlier));
        }
        if (!holding) {
          if (!Append(item, convert)) return false;
          continue;
        }
        auto token = reinterpret_borrow<object>(item);  // alive while its own __index__ runs
        if (!Append(token.ptr(), convert)) return false;
        value.held.push_back(std::move(token));
      }
      return true;
    }
    auto seq = reinterpret_borrow<sequence>(src);
    Reserve(seq.size());
    for (const auto& item : seq) {
      if (!Append(item.ptr(), convert)) return false;
      loader_life_support::add_patient(item);
    }
    return true;
  }

 private:
  void Reserve(std::size_t n) {
    value.values.reserve(n);
    value.objects.reserve(n);
  }

  bool Append(PyObject* object, bool convert) {
    long long number;
    if (PyLong_CheckExact(object)) {
      int overflow = 0;
      number = PyLong_AsLongLongAndOverflow(object, &overflow);
      if (overflow != 0) return false;  // beyond 64 bits: refused, as by the standard caster
    } else {
      // bool, int subclasses, objects with __index__, and (when converting) other numbers:
      // the standard caster's rules decide.
      make_caster<long long> caster;
      if (!caster.load(object, convert)) return false;
      number = cast_op<long long>(caster);
    }
    value.values.push_back(number);
    value.objects.push_back(object);
    return true;
  }
};

template <>
struct type_caster<lumo::typing::text::pybind::StringWeightsResult> {
  using Result = lumo::typing::text::pybind::StringWeightsResult;
  PYBIND11_TYPE_CASTER(Result, const_name("dict[str, float]"));

  bool load(handle, bool) { return false; }  // results only

  static handle cast(const Result& src, return_value_policy, handle) {
    dict out = Presized(src.entries.size());
    for (const auto& [position, weight] : src.entries) {
      PyObject* token = src.tokens->objects[position];
      object key;
      if (PyUnicode_CheckExact(token)) {
        key = reinterpret_borrow<object>(token);
      } else {
        // bytes, bytearray or a str subclass: the key is a plain str of the token's UTF-8
        const std::string_view view = src.tokens->views[position];
        key =
            reinterpret_steal<object>(PyUnicode_DecodeUTF8(view.data(), static_cast<Py_ssize_t>(view.size()), nullptr));
        if (!key) throw error_already_set();
      }
      SetWeight(out, key, weight);
    }
    return out.release();
  }

  // The size is known up front, so the dict never grows while it is filled.
  static dict Presized(std::size_t size) {
    auto out = reinterpret_steal<dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(size)));
    if (!out) throw error_already_set();
    return out;
  }

  static void SetWeight(dict& out, const object& key, double weight) {
    object value = reinterpret_steal<object>(PyFloat_FromDouble(weight));
    if (!value || PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) != 0) throw error_already_set();
  }
};

template <>
struct type_caster<lumo::typing::text::pybind::IntegerWeightsResult> {
  using Result = lumo::typing::text::pybind::IntegerWeightsResult;
  PYBIND11_TYPE_CASTER(Result, const_name("dict[int, float]"));

  bool load(handle, bool) { return false; }  // results only

  static handle cast(const Result& src, return_value_policy, handle) {
    using StringCaster = type_caster<lumo::typing::text::pybind::StringWeightsResult>;
    dict out = StringCaster::Presized(src.entries.size());
    for (const auto& [position, weight] : src.entries) {
      PyObject* token = src.tokens->objects[position];
      object key = PyLong_CheckExact(token)
                       ? reinterpret_borrow<object>(token)
                       : reinterpret_steal<object>(PyLong_FromLongLong(src.tokens->values[position]));
      if (!key) throw error_already_set();
      StringCaster::SetWeight(out, key, weight);
    }
    return out.release();
  }
};

}  // namespace pybind11::detail
