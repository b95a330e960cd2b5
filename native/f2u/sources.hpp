// Registration of the f2u sources half of the `host` module, one function per
// concern, called by register_sources in the module's definition order.
#pragma once
#include "f2u/host_module.hpp"

namespace f2u {

void register_imports(nb::module_& m);      // hashlib, json, math, os, np
void register_constants(nb::module_& m);    // HOP ... ROT
void register_seeding(nb::module_& m);      // _md5, item_seed, seed_of
void register_numeric(nb::module_& m);      // f16rt, zscore_native, _Np, bweights
void register_motion_feat(nb::module_& m);  // tau_feat, path_delta, rotvec_to_rotmat
void register_pack(nb::module_& m);         // ort_session, LEGACY_TRUNK_CROP_R, trunk_exact, Pack
void register_f3params(nb::module_& m);     // F3Params
void register_identity(nb::module_& m);     // Identity, cone
void register_eyecal(nb::module_& m);       // EyeMap, XCal
void register_noise(nb::module_& m);        // NumpyNoise, RecNoise, AR2Noise
void register_encoder(nb::module_& m);      // EncPair, Enc

// ROWS_L and ROWS_R stand between `compose` and the face `Renderer` in the
// module's order: the heads half calls this at that point.
void register_rows_constants(nb::module_& m);

// Shared by the heads half: the lazily imported ONNX Runtime session factory.
nb::object ort_session(nb::handle path, nb::handle threads);

}  // namespace f2u
