// Program entry and start-up of the render-stream host: command line, bundle
// loading, colour-correction loading and the hand-over to the serve loop.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

nb::object host_main(nb::handle argv);
nb::object run(nb::handle bundle, nb::handle engine, nb::handle threads);
// (model paths, model name, canon); a bundle fault ends the process with status 3.
nb::tuple load_bundle(nb::handle bundle, nb::handle engine);
// (ColorCorrect or None, report line)
nb::tuple load_color_correct(nb::handle bundle);

}  // namespace l2
