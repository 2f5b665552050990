#include "verify/SmallFiles.h"
#include "verify/SmallFilesPlatform.h"

#include <vorn/SystemError.h>
#include <vorn/UniqueFd.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool syncFolder(const std::string& path) {
    const vorn::UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.valid() && ::fsync(folder.get()) == 0;
}

bool fileWritable(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

NewFile writeNewFile(const std::string& path, const std::string& contents,
                     const std::string& permissionsOf, std::string* error) {
    vorn::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                               permissionsOf.empty() ? 0666 : 0600));
    if (!file.valid()) {
        if (errno == EEXIST)
            return NewFile::Exists;
        *error = vorn::systemErrorText(errno);
        return NewFile::Failed;
    }
    const auto fail = [&](int number) {
        file.reset();
        ::unlink(path.c_str());
        *error = vorn::systemErrorText(number);
        return NewFile::Failed;
    };
    struct stat existing;
    if (!permissionsOf.empty() && ::stat(permissionsOf.c_str(), &existing) == 0)
        ::fchmod(file.get(), existing.st_mode & 0777); // as it was; a failure keeps them private
    for (std::size_t written = 0; written < contents.size();) {
        const ssize_t n = ::write(file.get(), contents.data() + written, contents.size() - written);
        if (n < 0 && errno != EINTR)
            return fail(errno);
        if (n > 0)
            written += std::size_t(n);
    }
    // A file system that cannot flush at all is no reason to fail; a flush that fails is.
    if (::fsync(file.get()) != 0 && errno != EINVAL && errno != ENOTSUP)
        return fail(errno);
    if (::close(file.release()) != 0 && errno != EINTR)
        return fail(errno);
    return NewFile::Written;
}
