// Access to the `_chain_host` module object from any translation unit.
// Shared module-level objects (_STAGED, _IN, _OUT, _RGB_POOL, _SED …) are looked up
// through the module at call time, so a caller that rebinds them is honoured.
#pragma once
#include "common/py.hpp"

namespace l2 {

nb::module_& host_module();
inline nb::object mod_get(const char* name) { return host_module().attr(name); }
inline void mod_set(const char* name, nb::handle value) { host_module().attr(name) = value; }

// Registration of each concern, called by module.cpp in the module's load order.
void register_setup(nb::module_& m);        // standard modules, numpy, policy-module search
void register_color(nb::module_& m);        // colour-correction constants and functions
void register_streams(nb::module_& m);      // binary standard streams, _IN/_OUT
void register_constants(nb::module_& m);    // _elog and the stream constants
void register_wsola(nb::module_& m);        // tempo change
void register_chain(nb::module_& m);        // _SIGS, LitertChain
void register_dec_inputs(nb::module_& m);   // build_dec_inputs
void register_pixels(nb::module_& m);       // pixel conversion and its pool
void register_pcm_buffer(nb::module_& m);   // _SlidingPCM
void register_renderer(nb::module_& m);     // Renderer
void register_stdio(nb::module_& m);        // read_exact, write_frame, emit
void register_bundle(nb::module_& m);       // _qvx_toc, _member_bytes, _listing
void register_q8gd(nb::module_& m);         // int8 decoder choice
void register_runtime_probe(nb::module_& m); // litert_runtime_version
void register_staging(nb::module_& m);      // _STAGED and model staging
void register_shared_enc(nb::module_& m);   // shared encoder resolution
void register_cpu_budget(nb::module_& m);   // effective_cpu_count, default_threads
void register_startup(nb::module_& m);      // load_bundle, load_color_correct, _run, main
void register_serve(nb::module_& m);        // _serve

}  // namespace l2
