#include "confine/seccomp.hpp"

namespace tj {

Result<> install_seccomp_filter() { return fail("seccomp apply: not built yet"); }

}  // namespace tj
