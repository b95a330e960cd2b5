// Int8-decoder variant selection. The variant replaces the combined model only
// for a directory bundle, when the CPU has an int8 dot product, the manifest binds
// the variant to the very combined model it was cut from, the LiteRT runtime is
// the one it was gated on (when recorded) and the file hashes to its declaration.
// Values read from the manifest are compared with Python equality and reached
// with Python's own dict/str operations, so a malformed manifest fails the same
// way (and lands in the catch-all fallback) whatever its shape.
#include "lumeth2/q8gd.hpp"

#include <cerrno>
#include <string>

#include "lumeth2/bundle.hpp"
#include "common/fileio.hpp"
#include "lumeth2/startup_py.hpp"

namespace l2 {

namespace {

const char* const INT8_DOT_FLAGS[] = {"avx512_vnni", "avx_vnni"};
constexpr long HASH_BLOCK = 4194304;  // bounded memory whatever the model's size

std::string serving_tail() { return std::string(" \xe2\x80\x94 serving ") + COMBINED_MEMBER; }

// mapping.get(key) with the mapping's own error when it is not a mapping
nb::object get(nb::handle mapping, const char* key) { return mapping.attr("get")(key); }

// `x or {}`
nb::object or_empty(nb::handle x) {
    if (sp::truthy(x)) return nb::borrow(x);
    return nb::dict();
}

bool is_dict(nb::handle x) { return PyDict_Check(x.ptr()); }

nb::tuple pair(nb::handle value, const std::string& text) { return sp::with_text(value, text); }
nb::tuple pair(bool value, const std::string& text) { return sp::with_text(nb::bool_(value), text); }

}  // namespace

nb::object int8_dot_isa(nb::handle cpuinfo) {
    // A path only: open() takes an integer as a descriptor to adopt, and closing
    // the file would then close a stream that is not ours (1 is the protocol's).
    nb::object path = orvane::py_import("os").attr("fspath")(cpuinfo);
    nb::object f;
    try {
        f = sp::builtins().attr("open")(path);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError)) return nb::none();
        throw;
    }
    nb::object result = nb::none();
    try {
        for (nb::handle line : f) {
            nb::str s = nb::borrow<nb::str>(line);
            if (!nb::cast<bool>(s.attr("startswith")("flags"))) continue;
            nb::object parts = s.attr("split")(":", 1);
            nb::object rest = nb::len(parts) > 1 ? nb::object(parts[1]) : nb::object(nb::str(""));
            nb::object feats = sp::builtins().attr("set")(rest.attr("split")());
            for (const char* flag : INT8_DOT_FLAGS) {
                if (sp::truthy(feats.attr("__contains__")(flag))) {
                    result = nb::str(flag);
                    break;
                }
            }
            break;  // only the first "flags" line counts
        }
    } catch (nb::python_error& e) {
        f.attr("close")();
        if (e.matches(PyExc_OSError)) return nb::none();
        throw;
    }
    f.attr("close")();
    return result;
}

nb::tuple q8gd_bound(nb::handle manifest) {
    nb::object m = or_empty(manifest);
    nb::object decl = or_empty(get(m, "members_sha256"));
    nb::object blk = get(m, Q8GD_HEADER_KEY);
    nb::object want = get(decl, Q8GD_MEMBER);
    if (!is_dict(blk) || !sp::truthy(want))
        return pair(nb::none(),
                              "the header does not bind it (no members_sha256 entry / litert_q8gd block)");
    if (!sp::py_eq(get(blk, "sha256"), want))
        return pair(nb::none(), "litert_q8gd.sha256 disagrees with members_sha256");
    nb::object base_decl = get(decl, COMBINED_MEMBER);
    nb::object base_blk = get(blk, "base_sha256");
    if (!sp::py_eq(get(blk, "base_member"), nb::str(COMBINED_MEMBER)) || !sp::truthy(base_decl) ||
        !sp::py_eq(base_blk, base_decl)) {
        std::string why = std::string("STALE: cut from ") + COMBINED_MEMBER + " " + sp::str_head(base_blk, 12) +
                          ", the header declares " + sp::str_head(base_decl, 12);
        return pair(nb::none(), why);
    }
    return pair(want, "bound");
}

nb::tuple q8gd_runtime_ok(nb::handle manifest, nb::handle running) {
    nb::object m = or_empty(manifest);
    nb::object blk = or_empty(get(m, Q8GD_HEADER_KEY));
    nb::object gate = or_empty(get(blk, "gate"));
    nb::object want = is_dict(gate) ? get(gate, "runtime") : nb::none();
    if (!sp::truthy(want)) return pair(true, "gate runtime not recorded (published before 2026-10-05)");
    std::string w = sp::text(want);
    if (running.is_none())
        return pair(false, "gated on ai-edge-litert " + w + ", this process's runtime is unreadable");
    if (!sp::py_eq(running, want))
        return pair(false, "gated on ai-edge-litert " + w + ", this process runs " +
                                         sp::text(running) + " \xe2\x80\x94 re-gate it");
    return pair(true, "gated on this runtime (ai-edge-litert " + sp::text(running) + ")");
}

namespace {

std::string sha256_file(nb::handle path) {
    nb::object h = orvane::py_import("hashlib").attr("sha256")();
    nb::object f = sp::builtins().attr("open")(path, "rb");
    try {
        for (;;) {
            nb::object block = f.attr("read")(HASH_BLOCK);
            if (nb::len(block) == 0) break;
            h.attr("update")(block);
        }
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return nb::cast<std::string>(h.attr("hexdigest")());
}

[[noreturn]] void raise_os_error(int err, nb::handle path, const char* text = nullptr) {
    if (text) {
        nb::object e = nb::handle(PyExc_OSError)(err, text, path);  // errno picks the subclass
        PyErr_SetObject((PyObject*)Py_TYPE(e.ptr()), e.ptr());
    } else {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    }
    throw nb::python_error();
}

// The whole manifest of a directory bundle, as open(path, "rb").read() gives it
// (the same errors for a missing file or a directory), except that a FIFO or a
// device behind the name is refused instead of blocking start-up or being read
// without end, and so is a file larger than any manifest. The error lands in the
// caller's catch-all fallback like any other unreadable manifest.
nb::bytes read_manifest(nb::handle path) {
    PyObject* conv = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &conv)) throw nb::python_error();
    nb::bytes fs = nb::steal<nb::bytes>(conv);
    std::string data;
    int fd, err = 0;
    struct stat st;
    {
        nb::gil_scoped_release unlocked;
        fd = orvane::fileio::open_rdonly(fs.c_str(), O_NONBLOCK);
        if (fd < 0) err = errno;
        else if (::fstat(fd, &st) != 0) err = errno;
    }
    orvane::fileio::Fd f(fd);
    if (err) raise_os_error(err, path);
    if (S_ISDIR(st.st_mode)) raise_os_error(EISDIR, path);
    if (!S_ISREG(st.st_mode)) raise_os_error(EINVAL, path, "not a regular file");
    bool too_big = false;
    {
        nb::gil_scoped_release unlocked;
        constexpr size_t STEP = 65536;  // read into the heap: callers may have small stacks
        for (;;) {
            const size_t old = data.size();
            data.resize(old + STEP);
            int64_t r = orvane::fileio::read_upto(fd, &data[old], STEP);
            data.resize(old + (r > 0 ? static_cast<size_t>(r) : 0));
            if (r < 0) {
                err = errno;
                break;
            }
            if (r == 0) break;
            if (data.size() > JSON_MEMBER_CAP) {
                too_big = true;
                break;
            }
        }
    }
    if (err) raise_os_error(err, path);
    if (too_big) raise_os_error(EFBIG, path, "larger than any manifest");
    return nb::bytes(data.data(), data.size());
}

nb::tuple select_steps(nb::handle bundle, nb::handle cpuinfo) {
    const std::string log = Q8GD_LOG;
    if (!sp::isdir(bundle)) return pair(nb::none(), "");
    nb::object p = sp::join(bundle, Q8GD_MEMBER);
    if (!sp::isfile(p)) return pair(nb::none(), "");

    nb::object raw = sp::getenv_obj(Q8GD_ENV);
    nb::object mode = sp::truthy(raw) ? raw : nb::object(nb::str("auto"));
    mode = mode.attr("strip")().attr("lower")();
    std::string md = sp::text(mode);
    if (md == "0" || md == "off" || md == "false" || md == "no")
        return pair(nb::none(), log + " off (" + Q8GD_ENV + "=" + md + ")" + serving_tail());

    nb::object isa = int8_dot_isa(cpuinfo);
    if (isa.is_none())
        return pair(nb::none(), log +
                                              " FALLBACK: this CPU has no int8 dot product (no avx512_vnni / "
                                              "avx_vnni; int8 measured 0.88-0.93x on AVX2)" +
                                              serving_tail());

    nb::object data = read_manifest(sp::join(bundle, "manifest.json"));
    nb::object manifest = orvane::py_import("json").attr("loads")(data.attr("decode")("utf-8"));

    nb::tuple bound = q8gd_bound(manifest);
    nb::object want = bound[0];
    if (want.is_none())
        return pair(nb::none(), log + " FALLBACK: " + sp::text(bound[1]) + serving_tail());

    nb::tuple gate = q8gd_runtime_ok(manifest, mod_get("litert_runtime_version")());
    if (!sp::truthy(gate[0]))
        return pair(nb::none(), log + " FALLBACK: " + sp::text(gate[1]) + serving_tail());

    std::string digest = sha256_file(p);
    nb::str digest_s(digest.c_str(), digest.size());
    if (!sp::py_eq(digest_s, want))
        return pair(nb::none(), log + " FALLBACK: bytes " + digest.substr(0, 12) + " != declared " +
                                              sp::str_head(want, 12) + serving_tail());

    return pair(p, log + " SELECTED " + Q8GD_MEMBER + " (int8 decoder; cpu " + sp::text(isa) +
                                 "; sha " + sp::str_head(want, 12) + " bound; " + sp::text(gate[1]) + ")");
}

}  // namespace

nb::tuple select_q8gd(nb::handle bundle, nb::handle cpuinfo) {
    try {
        return select_steps(bundle, cpuinfo);
    } catch (nb::python_error& e) {
        // Ordinary errors fall back to the combined model; interrupts and exit requests pass.
        if (!e.matches(PyExc_Exception)) throw;
        std::string type = nb::cast<std::string>(e.type().attr("__name__"));
        std::string text = sp::text(e.value());
        return pair(nb::none(),
                              std::string(Q8GD_LOG) + " FALLBACK: " + type + ": " + text + serving_tail());
    }
}

void register_q8gd(nb::module_& m) {
    m.attr("COMBINED_MEMBER") = COMBINED_MEMBER;
    m.attr("Q8GD_MEMBER") = Q8GD_MEMBER;
    m.attr("Q8GD_HEADER_KEY") = Q8GD_HEADER_KEY;
    m.attr("Q8GD_ENV") = Q8GD_ENV;
    m.attr("INT8_DOT_FLAGS") = nb::make_tuple(INT8_DOT_FLAGS[0], INT8_DOT_FLAGS[1]);
    m.attr("Q8GD_LOG") = Q8GD_LOG;

    m.def("int8_dot_isa", [](nb::object cpuinfo) { return int8_dot_isa(cpuinfo); },
          nb::arg("cpuinfo").none() = DEFAULT_CPUINFO,
          "First int8 dot-product CPU flag of the first 'flags' line of the CPU information file, or None.");
    m.def("_q8gd_bound", [](nb::object manifest) { return q8gd_bound(manifest); }, nb::arg("manifest").none());
    m.def("_q8gd_runtime_ok", [](nb::object manifest, nb::object running) {
              return q8gd_runtime_ok(manifest, running);
          },
          nb::arg("manifest").none(), nb::arg("running").none());
    m.def("_select_q8gd", [](nb::object bundle, nb::object cpuinfo) { return select_q8gd(bundle, cpuinfo); },
          nb::arg("bundle").none(), nb::arg("cpuinfo").none() = DEFAULT_CPUINFO,
          "(int8 variant path or None, report line) for a bundle holding the combined model.");
}

}  // namespace l2
