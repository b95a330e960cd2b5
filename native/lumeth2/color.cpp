// Colour correction: `_color_enabled`, `parse_color_correct`, `ColorCorrect`
// (`apply`, `describe`) and `color_descriptor`.
#include "lumeth2/color.hpp"

#include <cstring>
#include <string>

#include "common/gc.hpp"
#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {
constexpr const char* kColorMember = "color.json";
constexpr const char* kColorEnv = "LUMETH2_COLOR_CORRECT";
constexpr const char* kColorLogPrefix = "colour-correct:";
}  // namespace


void color_lut_packed(const uint8_t* in, uint8_t* out, size_t pixels, const ChannelTables& tb) {
    for (size_t p = 0; p < pixels; ++p) {
        out[3 * p + 0] = tb.t[0][in[3 * p + 0]];
        out[3 * p + 1] = tb.t[1][in[3 * p + 1]];
        out[3 * p + 2] = tb.t[2][in[3 * p + 2]];
    }
}

void color_gain_bias_tables(const float gain[3], const float bias[3], ChannelTables& tb) {
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) {
            const float prod = static_cast<float>(v) * gain[c];  // float32 product
            tb.t[c][v] = clip_trunc_u8(prod + bias[c]);          // float32 sum
        }
}


bool color_kind_is_lut(nb::handle cc) { return cc.attr("kind").equal(nb::str("lut")); }

namespace {

// A native-order array of exactly `dtype` and `shape`, C-contiguous.
bool exact_array(nb::handle a, const char* dtype, std::initializer_list<Py_ssize_t> shape) {
    if (!is_ndarray(a) || !dtype_is(a, dtype)) return false;
    BufView v(a, false);
    if (v.ndim() != static_cast<int>(shape.size()) || !v.c_contiguous()) return false;
    int i = 0;
    for (Py_ssize_t s : shape)
        if (v.shape(i++) != s) return false;
    return true;
}

}  // namespace

bool color_tables_of(nb::handle cc, ChannelTables& tb, bool* is_lut) {
    *is_lut = color_kind_is_lut(cc);
    if (*is_lut) {
        nb::object lut = cc.attr("lut");
        if (!exact_array(lut, "uint8", {3, 256})) return false;
        BufView v(lut, false);
        std::memcpy(tb.t, v.data(), sizeof(tb.t));
        return true;
    }
    nb::object gain = cc.attr("gain"), bias = cc.attr("bias");
    if (!exact_array(gain, "float32", {3}) || !exact_array(bias, "float32", {3})) return false;
    BufView g(gain, false), b(bias, false);
    color_gain_bias_tables(static_cast<const float*>(g.data()), static_cast<const float*>(b.data()), tb);
    return true;
}

namespace {

// The array-library form of `apply`, for inputs the table kernel does not take
// (other element types, a last axis that is not 3, attributes of other types).
nb::object apply_numpy(const ColorCorrect& cc, nb::handle rgb) {
    nb::module_ np = np_mod();
    if (cc.kind.equal(nb::str("lut"))) {
        nb::list planes;
        for (int c = 0; c < 3; ++c)
            planes.append(cc.lut[nb::int_(c)][rgb[nb::make_tuple(nb::ellipsis(), c)]]);
        nb::object st = np.attr("stack")(planes, nb::arg("axis") = -1);
        return np.attr("ascontiguousarray")(st, nb::arg("dtype") = "uint8");
    }
    nb::object x = np.attr("asarray")(rgb).attr("astype")("float32");
    x = np.attr("add")(np.attr("multiply")(x, cc.gain), cc.bias);
    x = np.attr("clip")(x, 0, 255);
    x = np.attr("where")(np.attr("isnan")(x), 0, x);  // NaN pixels become 0, never cast
    return x.attr("astype")("uint8");
}

nb::object cc_apply(const ColorCorrect& cc, nb::handle rgb) {
    ChannelTables tb;
    bool is_lut = false;
    bool direct = is_ndarray(rgb) && dtype_is(rgb, "uint8");
    if (direct) {
        BufView v(rgb, false);
        direct = v.ndim() >= 1 && v.shape(v.ndim() - 1) == 3;
    }
    if (!direct || !color_tables_of(nb::cast(cc, nb::rv_policy::reference), tb, &is_lut))
        return apply_numpy(cc, rgb);
    nb::object src = np_mod().attr("ascontiguousarray")(rgb);
    BufView in(src, false);
    std::vector<Py_ssize_t> shape;
    for (int i = 0; i < in.ndim(); ++i) shape.push_back(in.shape(i));
    nb::object out = np_empty_shape(shape, "uint8");
    uint8_t* o = array_data<uint8_t>(out);
    const size_t pixels = static_cast<size_t>(in.count() / 3);
    {
        nb::gil_scoped_release nogil;
        color_lut_packed(static_cast<const uint8_t*>(in.data()), o, pixels, tb);
    }
    return out;
}

std::string cc_describe(const ColorCorrect& cc) {
    if (cc.kind.equal(nb::str("lut"))) {
        nb::object rows = np_mod().attr("asarray")(cc.lut, "int32");
        nb::object r = np_mod().attr("ascontiguousarray")(rows);
        BufView v(r, false);
        if (v.ndim() != 2 || v.shape(0) != 3 || v.shape(1) != 256)
            orvane::raise_value_error("colour table must have shape (3, 256)");
        const int32_t* t = static_cast<const int32_t*>(v.data());
        std::string out = "per-channel LUT (model->driver), deviation from identity: ";
        const char* letters = "RGB";
        for (int c = 0; c < 3; ++c) {
            int64_t mx = 0, sum = 0;
            for (int i = 0; i < 256; ++i) {
                int64_t d = static_cast<int64_t>(t[c * 256 + i]) - i;
                if (d < 0) d = -d;
                mx = d > mx ? d : mx;
                sum += d;
            }
            // The sum is exact, so the mean is the exact float64 quotient; one
            // decimal, exact ties to even, as the interpreter's "%.1f" writes it.
            const double mean = static_cast<double>(sum) / 256.0;
            char* txt = PyOS_double_to_string(mean, 'f', 1, 0, nullptr);
            if (!txt) throw nb::python_error();
            if (c) out += "/";
            out += std::string(1, letters[c]) + " max " + std::to_string(mx) + " mean " + txt;
            PyMem_Free(txt);
        }
        return out;
    }
    return "per-channel gain=" + orvane::py_repr(nb::list(cc.gain)) +
           " bias=" + orvane::py_repr(nb::list(cc.bias));
}

nb::object py_color_descriptor(nb::handle cc) {
    if (cc.is_none()) return nb::none();
    nb::module_ np = np_mod();
    nb::object kind = cc.attr("kind");
    nb::object data;
    if (kind.equal(nb::str("lut"))) {
        data = np.attr("ascontiguousarray")(cc.attr("lut"), nb::arg("dtype") = "uint8").attr("tobytes")();
    } else {
        nb::bytes g = nb::borrow<nb::bytes>(
            np.attr("ascontiguousarray")(cc.attr("gain"), nb::arg("dtype") = "float32").attr("tobytes")());
        nb::bytes b = nb::borrow<nb::bytes>(
            np.attr("ascontiguousarray")(cc.attr("bias"), nb::arg("dtype") = "float32").attr("tobytes")());
        std::string joined(g.c_str(), g.size());
        joined.append(b.c_str(), b.size());
        data = nb::bytes(joined.data(), joined.size());
    }
    nb::object digest = orvane::py_import("hashlib").attr("sha256")(data).attr("hexdigest")();
    nb::dict d;
    d["kind"] = kind;
    d["sha256"] = digest;
    return d;
}

bool py_color_enabled() {
    // Compared as the interpreter's texts: the variable may hold any characters,
    // undecodable bytes (surrogate escapes) included.
    nb::object raw = orvane::py_import("os").attr("environ").attr("get")(kColorEnv, "");
    nb::object v = raw.attr("strip")().attr("lower")();
    for (const char* off : {"0", "false", "no", "off"})
        if (v.equal(nb::str(off))) return false;
    return true;
}

// The reasons are built as the interpreter's texts, not as C++ strings: a source
// path or an error text may hold characters that have no UTF-8 form (surrogate
// escapes of undecodable file names).
nb::str join(std::initializer_list<nb::handle> parts) {
    nb::list l;
    for (nb::handle p : parts) l.append(nb::str(p));
    return nb::steal<nb::str>(PyUnicode_Join(nb::str("").ptr(), l.ptr()));
}

nb::tuple fault(nb::handle reason) { return nb::make_tuple(nb::none(), reason); }

// True when the active exception is one a conversion to an array may fail with
// for bad content.
bool conversion_fault(nb::python_error& e, bool overflow_too) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) ||
           (overflow_too && e.matches(PyExc_OverflowError));
}

// An entry the conversion to bytes did not keep: the array library truncates a
// fraction toward zero (12.7 becomes 12), but some versions wrap a value outside
// 0 to 255 or turn NaN into a byte instead of refusing it. None when every entry
// is its byte with the fraction cut off.
nb::object unkept_lut_entry(nb::handle value, nb::handle lut) {
    nb::module_ np = np_mod();
    nb::object exact = np.attr("asarray")(value, nb::arg("dtype") = "float64");
    if (!exact.attr("shape").equal(lut.attr("shape"))) return nb::none();
    nb::object cut = np.attr("trunc")(exact);
    if (nb::cast<bool>(np.attr("array_equal")(cut, lut))) return nb::none();
    return exact[np.attr("not_equal")(cut, lut)].attr("flat")[nb::int_(0)];
}

nb::tuple py_parse_color_correct(nb::handle raw, nb::handle source) {
    const nb::str M(kColorMember);
    if (raw.is_none()) return fault(join({nb::str("this container carries no "), M}));

    nb::module_ np = np_mod();
    nb::object doc;
    if (PyDict_Check(raw.ptr())) {
        doc = nb::borrow(raw);
    } else {
        try {
            nb::object text = nb::borrow(raw);
            if (PyBytes_Check(raw.ptr()) || PyByteArray_Check(raw.ptr()))
                text = raw.attr("decode")("utf-8", "strict");
            doc = orvane::py_import("json").attr("loads")(text);
        } catch (nb::python_error& e) {
            // A nesting deeper than the reader recurses is unparsable content like
            // any other, not a start-up failure; a raw of another type still raises.
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
            return fault(join({M, nb::str(" is present but is not parsable json ("), nb::str(e.value()),
                               nb::str(") \u2014 refusing to invent an identity LUT")}));
        }
    }
    if (!PyDict_Check(doc.ptr()))
        return fault(join({M, nb::str(" is present but is not a json object (got "),
                           nb::handle((PyObject*)Py_TYPE(doc.ptr())).attr("__name__"), nb::str(")")}));

    nb::dict d = nb::borrow<nb::dict>(doc);
    const int src_true = PyObject_IsTrue(source.ptr());
    if (src_true < 0) throw nb::python_error();
    const nb::str from = src_true ? nb::str(source) : M;
    nb::object cls = host_module().attr("ColorCorrect");

    if (d.contains("lut")) {
        nb::object value = d["lut"];
        nb::object lut;
        nb::object unkept;
        try {
            lut = np.attr("asarray")(value, nb::arg("dtype") = "uint8");
            unkept = unkept_lut_entry(value, lut);
        } catch (nb::python_error& e) {
            // An entry below 0 or above 255 is an overflow to the array library: the
            // same fault as any other entry that is not a byte, not a start-up crash.
            if (!conversion_fault(e, true)) throw;
            return fault(join({M, nb::str(": 'lut' is not a uint8 array ("), nb::str(e.value()), nb::str(")")}));
        }
        if (!unkept.is_none())
            return fault(join({M, nb::str(": 'lut' is not a uint8 array (entry "), nb::repr(nb::float_(unkept)),
                               nb::str(" is outside 0 to 255)")}));
        if (!lut.attr("shape").equal(nb::make_tuple(3, 256)))
            return fault(join({M, nb::str(": 'lut' has shape "), lut.attr("shape"),
                               nb::str(", the contract is (3, 256) \u2014 refusing to apply a mis-shaped table")}));
        lut = np.attr("ascontiguousarray")(lut);
        nb::object cc = cls("lut", nb::arg("lut") = lut, nb::arg("source") = source);
        return nb::make_tuple(cc, join({nb::str("per-channel LUT (model->driver) from "), from}));
    }
    if (d.contains("gain") && d.contains("bias")) {
        nb::object g, b;
        try {
            g = np.attr("asarray")(d["gain"], nb::arg("dtype") = "float32");
            b = np.attr("asarray")(d["bias"], nb::arg("dtype") = "float32");
        } catch (nb::python_error& e) {
            if (!conversion_fault(e, false)) throw;
            return fault(join({M, nb::str(": 'gain'/'bias' are not float arrays ("), nb::str(e.value()),
                               nb::str(")")}));
        }
        nb::tuple three = nb::make_tuple(3);
        if (!g.attr("shape").equal(three) || !b.attr("shape").equal(three))
            return fault(join({M, nb::str(": gain"), g.attr("shape"), nb::str("/bias"), b.attr("shape"),
                               nb::str(", the contract is (3,)/(3,)")}));
        nb::object cc = cls("gain_bias", nb::arg("gain") = g, nb::arg("bias") = b, nb::arg("source") = source);
        return nb::make_tuple(cc, join({nb::str("per-channel gain/bias from "), from}));
    }
    nb::object keys = orvane::py_import("builtins").attr("sorted")(d.attr("keys")());
    return fault(join({M, nb::str(" is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: "),
                       nb::repr(keys), nb::str(")")}));
}

}  // namespace

void register_color(nb::module_& m) {
    m.attr("COLOR_MEMBER") = kColorMember;
    m.attr("COLOR_ENV") = kColorEnv;
    m.attr("COLOR_LOG_PREFIX") = kColorLogPrefix;

    m.def("_color_enabled", &py_color_enabled,
          "Whether colour correction is switched on (LUMETH2_COLOR_CORRECT).");

    // Final: `apply` cannot be overridden, so the pixel conversion may fold a
    // correction of this exact type into its own kernel.
    nb::class_<ColorCorrect> cls(m, "ColorCorrect", nb::is_final(), nb::type_slots(orvane::gc_slots<ColorCorrect>()));
    cls.def(
           "__init__",
           [](ColorCorrect* self, nb::object kind, nb::object lut, nb::object gain, nb::object bias,
              nb::object source) {
               new (self) ColorCorrect{std::move(kind), std::move(lut), std::move(gain), std::move(bias),
                                       std::move(source)};
           },
           nb::arg("kind").none(), nb::kw_only(), nb::arg("lut").none() = nb::none(),
           nb::arg("gain").none() = nb::none(), nb::arg("bias").none() = nb::none(),
           nb::arg("source").none() = "")
        .def_prop_ro("kind", [](const ColorCorrect& c) { return c.kind; })
        .def_prop_ro("lut", [](const ColorCorrect& c) { return c.lut; })
        .def_prop_ro("gain", [](const ColorCorrect& c) { return c.gain; })
        .def_prop_ro("bias", [](const ColorCorrect& c) { return c.bias; })
        .def_prop_ro("source", [](const ColorCorrect& c) { return c.source; })
        .def("apply", &cc_apply, nb::arg("rgb").none(),
             "Corrected copy of packed uint8 pixels (..., 3).")
        .def("describe", &cc_describe, "One line describing the correction.");
    cls.attr("__slots__") = nb::make_tuple("kind", "lut", "gain", "bias", "source");

    m.def("parse_color_correct", &py_parse_color_correct, nb::arg("raw").none(),
          nb::arg("source").none() = "",
          "(ColorCorrect or None, reason text) from the content of color.json.");
    m.def("color_descriptor", &py_color_descriptor, nb::arg("cc").none(),
          "{'kind', 'sha256'} of a correction, or None.");
}

}  // namespace l2
