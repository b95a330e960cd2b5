// Reproducible integer seeds from text: _md5, item_seed, seed_of.
#include <cstdint>

#include "f2u/sources.hpp"

namespace f2u {

// First four digest bytes of MD5(utf-8 text), big-endian.
static uint64_t md5_head(nb::handle s) {
    if (!PyUnicode_Check(s.ptr()))
        orvane::raise_type_error(std::string("_md5 expects str, not ") + Py_TYPE(s.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &n);  // fails for lone surrogates
    if (!utf8) throw nb::python_error();
    nb::bytes data(utf8, (size_t)n);
    nb::object digest = orvane::py_import("hashlib").attr("md5")(data).attr("digest")();
    const unsigned char* d = (const unsigned char*)PyBytes_AsString(digest.ptr());
    return ((uint64_t)d[0] << 24) | ((uint64_t)d[1] << 16) | ((uint64_t)d[2] << 8) | (uint64_t)d[3];
}

// Text of a seed part as an f-string writes it.
static nb::object part_text(nb::handle v) {
    nb::object r = nb::steal(PyObject_Format(v.ptr(), nullptr));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

void register_seeding(nb::module_& m) {
    m.def("_md5", [](nb::handle s) { return md5_head(s); }, nb::arg("s").none(), nb::sig("def _md5(s: str) -> int"),
          "First four bytes of the MD5 digest of the UTF-8 text, big-endian unsigned.");
    m.def("item_seed", [](nb::handle key) { return md5_head(key) % 2147483648ull; }, nb::arg("key").none(),
          nb::sig("def item_seed(key: str) -> int"),
          "_md5(key) modulo 2**31.");
    m.def(
        "seed_of",
        [](nb::handle tag, nb::handle key) {
            nb::object t = part_text(tag), k = part_text(key);
            nb::object joined = nb::steal(PyUnicode_Concat(t.ptr(), nb::str(":").ptr()));
            if (!joined.is_valid()) throw nb::python_error();
            joined = nb::steal(PyUnicode_Concat(joined.ptr(), k.ptr()));
            if (!joined.is_valid()) throw nb::python_error();
            return md5_head(joined);
        },
        nb::arg("tag").none(), nb::arg("key").none(), nb::sig("def seed_of(tag: str, key: str) -> int"),
        "_md5 of 'tag:key' (unreduced).");
}

}  // namespace f2u
