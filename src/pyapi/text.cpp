// Text conversions between Python str objects and UTF-8 strings.
#include "pyapi/text.h"

#include "pyapi/must_succeed.h"

namespace qelt {
namespace {

// Decodes UTF-8 bytes, replacing each maximal ill-formed subsequence by U+FFFD.
std::string decode_lossy(const unsigned char* p, std::size_t n) {
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t good = 0;
    if (len != 0) {
      good = 1;
      while (good < len && i + good < n) {
        unsigned char t = p[i + good];
        unsigned char min = good == 1 ? lo : 0x80, max = good == 1 ? hi : 0xBF;
        if (t < min || t > max) break;
        ++good;
      }
    }
    if (len != 0 && good == len) {
      out.append(reinterpret_cast<const char*>(p + i), len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += good == 0 ? 1 : good;
    }
  }
  return out;
}

}  // namespace

PyRef make_str(std::string_view text) {
  return must_succeed(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::optional<std::string> str_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  const char* raw = PyBytes_AsString(bytes.get());
  if (raw == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return decode_lossy(reinterpret_cast<const unsigned char*>(raw),
                      static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

}  // namespace qelt
