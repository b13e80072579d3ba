#include "args.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"

namespace quorvex::py {
namespace {

// The type's __qualname__, as written in conversion messages.
Ref type_name(PyObject* object) {
  Ref name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!name || !has_type_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    PyErr_Clear();
    return make_str(texts::kUnknownTypeName);
  }
  return name;
}

}  // namespace

Ref conversion_error(PyObject* object, std::string_view target) {
  Ref text = concat(make_str("'").get(), type_name(object).get());
  text = concat(text.get(), make_str(texts::kCannotConvert + std::string(target) + "'").get());
  return new_exception(PyExc_TypeError, text.get());
}

namespace {

// str(exception), or a stand-in when str() itself fails.
Ref exception_str(PyObject* exception) {
  Ref text = Ref::steal(PyObject_Str(exception));
  if (text) return text;
  PyErr_WriteUnraisable(exception);
  return make_str(texts::kUnprintableTypeError);
}

// Only a TypeError of exactly that type gains the parameter's name; its
// __cause__ carries over. Every other exception passes unchanged.
Ref argument_error(std::string_view parameter, Ref exception) {
  if (Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return exception;
  }
  Ref prefix = make_str(texts::kArgumentBefore + std::string(parameter) + texts::kArgumentAfter);
  Ref text = concat(prefix.get(), exception_str(exception.get()).get());
  Ref wrapped = new_exception(PyExc_TypeError, text.get());
  // PyException_SetCause steals the cause reference.
  PyException_SetCause(wrapped.get(), PyException_GetCause(exception.get()));
  return wrapped;
}

// "{function}{what}{keyword}'" with the keyword as a str object, whose text
// may hold anything (NUL bytes, lone surrogates).
[[noreturn]] void throw_keyword_error(std::string_view function, const char* what,
                                      PyObject* keyword) {
  Ref head = make_str(std::string(function) + what);
  Ref text = concat(concat(head.get(), keyword).get(), make_str("'").get());
  throw PythonError::from_type(PyExc_TypeError, std::move(text));
}

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ",";
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += "'" + std::string(names[i]) + "'";
  }
  return list;
}

struct KeywordEntry {
  Ref key;
  Ref value;
};

// Copies the entries first: converting a key runs user code, which must not
// see us halfway through iterating the dictionary.
std::vector<KeywordEntry> keyword_entries(PyObject* keywords) {
  std::vector<KeywordEntry> entries;
  if (keywords == nullptr) return entries;
  entries.reserve(static_cast<std::size_t>(PyDict_Size(keywords)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(keywords, &position, &key, &value)) {
    entries.push_back({Ref::borrow(key), Ref::borrow(value)});
  }
  return entries;
}

// The key's UTF-8 text, or false for a key that is not a usable str.
bool keyword_text(PyObject* key, std::string_view& text) {
  if (!has_type_flag(key, Py_TPFLAGS_UNICODE_SUBCLASS)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

Arguments::Arguments(const Signature& signature, PyObject* positional, PyObject* keywords)
    : signature_(signature) {
  const std::size_t count = signature.parameters.size();
  const auto given = static_cast<std::size_t>(PyTuple_Size(positional));
  for (std::size_t i = 0; i < std::min(given, count); ++i) {
    slots_[i] = Ref::borrow(PyTuple_GetItem(positional, static_cast<Py_ssize_t>(i)));
  }
  if (given > count) {
    throw_error(PyExc_TypeError, std::string(signature.function) + texts::kTakesBefore +
                                     std::to_string(count) + texts::kTakesBetween +
                                     std::to_string(given) + texts::kTakesAfter);
  }
  for (KeywordEntry& entry : keyword_entries(keywords)) {
    std::string_view text;
    if (!keyword_text(entry.key.get(), text)) {
      Ref shown = Ref::steal(PyObject_Str(entry.key.get()));
      if (!shown) throw_current_error();
      throw_keyword_error(signature.function, texts::kUnexpectedKeyword, shown.get());
    }
    std::size_t index = 0;
    while (index < count && signature.parameters[index] != text) ++index;
    if (index == count) {
      throw_keyword_error(signature.function, texts::kUnexpectedKeyword, make_str(text).get());
    }
    if (slots_[index]) {
      throw_keyword_error(signature.function, texts::kMultipleValues, make_str(text).get());
    }
    slots_[index] = std::move(entry.value);
  }
  std::vector<std::string_view> missing;
  for (std::size_t i = given; i < count; ++i) {
    if (!slots_[i]) missing.push_back(signature.parameters[i]);
  }
  if (!missing.empty()) {
    throw_error(PyExc_TypeError,
                std::string(signature.function) + texts::kMissingBefore +
                    std::to_string(missing.size()) +
                    (missing.size() == 1 ? texts::kMissingOne : texts::kMissingMany) +
                    quoted_list(missing));
  }
}

void Arguments::fail(std::size_t index, Ref exception) const {
  throw PythonError::from_object(
      argument_error(signature_.parameters[index], std::move(exception)));
}

ByteView Arguments::convert_bytes(std::size_t index) const {
  PyObject* object = slots_[index].get();
  if (!has_type_flag(object, Py_TPFLAGS_BYTES_SUBCLASS)) {
    fail(index, conversion_error(object, texts::kBytesTarget));
  }
  return as_bytes(PyBytes_AsString(object), static_cast<std::size_t>(PyBytes_Size(object)));
}

std::uint64_t Arguments::convert_u64(std::size_t index) const {
  PyObject* object = slots_[index].get();
  Ref integer;
  if (has_type_flag(object, Py_TPFLAGS_LONG_SUBCLASS)) {
    integer = Ref::borrow(object);
  } else {
    integer = Ref::steal(PyNumber_Index(object));
    if (!integer) fail(index, take_current_error());
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    fail(index, take_current_error());
  }
  return value;
}

ByteView Arguments::convert_str(std::size_t index) const {
  PyObject* object = slots_[index].get();
  if (!has_type_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    fail(index, conversion_error(object, texts::kStringTarget));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) fail(index, take_current_error());
  return as_bytes(utf8, static_cast<std::size_t>(size));
}

PyObject* bytes_to_list(ByteView bytes) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  if (!list) {
    PyErr_Print();
    throw Panic(texts::kPythonApiFailed);
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    PyObject* item = PyLong_FromLong(bytes[i]);
    if (item == nullptr) {
      PyErr_Print();
      throw Panic(texts::kPythonApiFailed);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace quorvex::py
