// Shared-encoder resolution. A split bundle renders correctly only with the one
// shared encoder it was cut against (a different one runs without error and draws
// another face), so every candidate but the content store's is checked with the
// policy module's verify_base when a digest is declared. The policy module
// (`_SED`) and the sibling services are read from the module at call time.
#include "lumeth2/shared_enc.hpp"

#include <string>
#include <vector>

#include "lumeth2/bundle.hpp"
#include "lumeth2/staging.hpp"
#include "lumeth2/startup_py.hpp"

namespace l2 {

namespace {

constexpr const char* SHARED_ENC_MEMBER = "shared-enc.tflite";
const char* const SEARCH_ENV[] = {"LUMETH2_SHARED_ENC", "LUMETH2_ENGINE_DIR", "LUMETH2_ANE_ENGINE"};

std::string txt(nb::handle h) { return sp::text(h); }

}  // namespace

nb::object declared_base_sha(nb::handle bundle) {
    nb::object sed = mod_get("_SED");
    if (sed.is_none()) return nb::none();
    try {
        nb::object data = sp::item(mod_get("_member_bytes")(bundle, sp::names_of({"manifest.json"}),
                                                             nb::arg("max_size") = JSON_MEMBER_CAP),
                                   1);
        // absent, or larger than any manifest (only its head was read): no declaration
        if (data.is_none() || (uint64_t)nb::len(data) > JSON_MEMBER_CAP) return nb::none();
        nb::object doc = orvane::py_import("json").attr("loads")(data.attr("decode")("utf-8"));
        nb::object deps = doc.attr("get")("dependencies");
        return sed.attr("base_sha256_of")(deps);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::none();
    }
}

nb::tuple resolve_shared_enc(nb::handle bundle, nb::handle engine, nb::handle want_sha) {
    std::vector<std::string> mismatches;
    // Accept a candidate: unverified without a digest, else by the policy's check.
    auto ok = [&](nb::handle p, const std::string& how) -> bool {
        if (want_sha.is_none()) return true;
        // a copy this process staged is hashed through the descriptor that wrote
        // it: what is verified is what the chain will load
        if (sp::truthy(mod_get("_SED").attr("verify_base")(staged_load_path(p), want_sha))) return true;
        mismatches.push_back(txt(p) + " (" + how + "): sha mismatch");
        return false;
    };

    // 1. content store by digest: trusted by name, not re-hashed
    if (sp::truthy(want_sha)) {
        nb::object sed = mod_get("_SED");
        nb::object cands = sed.attr("store_candidates")(want_sha, sed.attr("dependency_store_dirs")());
        for (nb::handle p : cands) {
            if (sp::isfile(p)) return sp::with_text(p, "name-trusted content store " + txt(p));
        }
    }

    // 2. the bundle's own copy (located, then copied to its staged file in blocks)
    nb::object member_ref = mod_get("_member_ref");
    {
        nb::object got = member_ref(bundle, sp::names_of({SHARED_ENC_MEMBER}));
        if (!sp::item(got, 1).is_none()) {
            nb::object p = mod_get("_stage_tflite")(bundle, sp::item(got, 0), sp::item(got, 1));
            if (ok(p, "co-located in the bundle")) return sp::with_text(p, "co-located in " + txt(bundle));
        }
    }

    // 3. candidates: --engine, the environment, installed engines (sorted by name)
    std::vector<nb::object> cands;
    if (!engine.is_none() && sp::truthy(engine)) cands.push_back(nb::borrow(engine));
    for (const char* var : SEARCH_ENV) {
        nb::object v = sp::getenv_obj(var);
        if (!v.is_none() && sp::truthy(v)) cands.push_back(v);
    }
    nb::object engines = sp::os_path().attr("expanduser")("~/.orvane/engines");
    if (sp::isdir(engines)) {
        nb::object entries = sp::builtins().attr("sorted")(sp::os_mod().attr("listdir")(engines));
        for (nb::handle e : entries) {
            nb::object p = sp::os_path().attr("join")(engines, e, SHARED_ENC_MEMBER);
            if (sp::isfile(p)) cands.push_back(p);
        }
    }

    // 4. first acceptable candidate wins
    for (nb::object& c : cands) {
        if (sp::isdir(c)) {
            nb::object p = sp::join(c, SHARED_ENC_MEMBER);
            if (sp::isfile(p) && ok(p, "engine dir")) return sp::with_text(p, "engine dir " + txt(c));
        } else if (sp::isfile(c)) {
            nb::object base = sp::os_path().attr("basename")(c);
            if (sp::py_eq(base, nb::str(SHARED_ENC_MEMBER))) {
                if (ok(c, "explicit file")) return sp::with_text(c, "explicit file " + txt(c));
            } else {
                nb::object got = member_ref(c, sp::names_of({SHARED_ENC_MEMBER}));
                if (!sp::item(got, 1).is_none()) {
                    nb::object p = mod_get("_stage_tflite")(c, sp::item(got, 0), sp::item(got, 1));
                    std::string how = "container " + txt(c);
                    if (ok(p, how)) return sp::with_text(p, how);
                }
            }
        }
    }

    if (mismatches.empty()) return nb::make_tuple(nb::none(), "no candidate found");
    std::string why;
    for (size_t i = 0; i < mismatches.size(); ++i) {
        if (i) why += "; ";
        why += mismatches[i];
    }
    return sp::with_text(nb::none(), why);
}

void register_shared_enc(nb::module_& m) {
    m.def("_declared_base_sha", [](nb::object bundle) { return declared_base_sha(bundle); }, nb::arg("bundle").none());
    m.def("_resolve_shared_enc",
          [](nb::object bundle, nb::object engine, nb::object want_sha) {
              return resolve_shared_enc(bundle, engine, want_sha);
          },
          nb::arg("bundle").none(), nb::arg("engine").none(), nb::arg("want_sha").none() = nb::none());
}

}  // namespace l2
