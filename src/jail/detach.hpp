// The host's tree leaving the jail. A lazy unmount takes the old root out of
// the mount tree at once, then waits for a grace period before it returns, and
// that wait is the largest single cost of a strict start. The launcher shares
// the jail's mount namespace and has nothing else to do, so it makes the call
// when the jail init asks; the jail init goes on as soon as the old root's
// mount point is empty (it can be removed), and from then on nothing of the
// host's tree is reachable while the wait runs on in the launcher. The
// launcher, outside the jail's PID namespace, takes none of its process ids.
#pragma once

#include <string>

#include "error.hpp"

namespace tj {

// The jail init's side: `helper` is its end of a stream socket pair whose
// other end the launcher serves. Asks for the detach of `old_root` (an
// absolute path in the new root), returns once that mount is out of the tree
// and its mount point removed, and closes `helper`. A launcher that cannot
// help (gone, or its unmount failed) leaves the unmount to the jail init.
// Errors: the errno text of the unmount.
Result<> detach_old_root(const std::string& old_root, int helper);

// The launcher's side: waits for the jail init's request on `jail_init` and
// unmounts `old_root` (as seen after the pivot, which moved the launcher's
// root along) when one comes; answers with the unmount's errno (0 when done)
// and closes `jail_init`. Nothing happens when the jail init hangs up first.
void serve_old_root_detach(const std::string& old_root, int jail_init);

}  // namespace tj
