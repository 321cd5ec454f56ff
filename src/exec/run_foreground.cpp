#include "exec/run_foreground.hpp"

namespace tj {

Result<> run_foreground(const RunSpec&, const std::string&) { return fail("not built yet"); }

}  // namespace tj
