#include "engine/ring_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>
#include <thread>

#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/ring_files.hpp"

namespace vc {
namespace {

bool try_lock(const FileDescriptor& lock, int kind) {
    int result;
    do {
        result = ::flock(lock.get(), kind | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

FileDescriptor open_ring_lock(int dir) {
    return FileDescriptor(
        ::openat(dir, std::string(kJoinLockName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
}

FileDescriptor lock_ring_for_join(const std::filesystem::path& ring_dir) {
    FileDescriptor dir(::open(ring_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return {};
    FileDescriptor lock = open_ring_lock(dir.get());
    if (!lock || !try_lock(lock, LOCK_SH)) return {};
    return lock;
}

void wait_for_joins(const FileDescriptor& lock, std::chrono::milliseconds limit) {
    if (!lock || try_lock(lock, LOCK_EX)) return;
    if (errno != EWOULDBLOCK) return;  // no locks on this file system: nothing to wait for
    VC_INFO("engine", "an earlier save is still joining its clip from the ring: waiting for it to finish");
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (try_lock(lock, LOCK_EX) || errno != EWOULDBLOCK) return;
    }
    VC_WARN("engine", format("an earlier save is still joining its clip after {} s: the ring is emptied anyway",
                             std::chrono::duration<double>(limit).count()));
}

}  // namespace vc
