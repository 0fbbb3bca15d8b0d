#include "support/tmpfs_mount.hpp"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vc::test {

TmpfsMount::TmpfsMount(unsigned long flags) {
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", flags, "mode=0755") != 0)
        throw std::runtime_error("cannot mount a tmpfs on " + dir_.path().string() + ": " + std::strerror(errno));
}

TmpfsMount::~TmpfsMount() {
    // Lazily: a process of the test that still holds a file there must not keep it mounted.
    (void)::umount2(dir_.path().c_str(), MNT_DETACH);
}

}  // namespace vc::test
