#include "streams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exceptions.h"

int64_t TStream::Size() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

int64_t TStream::Remaining() {
    int64_t r = Size() - Position();
    return r > 0 ? r : 0;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count < 0 || (count > 0 && Read(buffer, count) != count)) throw EReadError(SReadError);
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count < 0 || (count > 0 && Write(buffer, count) != count)) throw EWriteError(SWriteError);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)));
    int64_t done = 0;
    while (done < count) {
        int64_t n = std::min<int64_t>(count - done, static_cast<int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

namespace {
int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position : size;
    int64_t target = base + offset;
    return target < 0 ? 0 : target;
}

int64_t CopyOut(const uint8_t* data, int64_t size, int64_t& position, void* buffer, int64_t count) {
    if (count <= 0 || position >= size) return 0;
    int64_t n = std::min(count, size - position);
    std::memcpy(buffer, data + position, static_cast<size_t>(n));
    position += n;
    return n;
}
}  // namespace

TMemoryStream::TMemoryStream(const void* data, size_t size)
    : FData(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    return CopyOut(FData.data(), Size(), FPosition, buffer, count);
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    int64_t end = FPosition + count;
    if (end > Size()) FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, Size(), offset, origin);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t size) {
    FData.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
    if (FPosition > Size()) FPosition = Size();
}

void TMemoryStream::Clear() {
    FData.clear();
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    FData.resize(static_cast<size_t>(file.Size()));
    file.ReadBuffer(FData.data(), Size());
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmCreate);
    file.WriteBuffer(FData.data(), Size());
}

int64_t TReadOnlyMemoryStream::Read(void* buffer, int64_t count) {
    return CopyOut(FData, FSize, FPosition, buffer, count);
}

int64_t TReadOnlyMemoryStream::Write(const void*, int64_t) { return 0; }

int64_t TReadOnlyMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, FSize, offset, origin);
    return FPosition;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : FFileName(fileName), FMode(mode) {
    if (mode == TFileMode::fmCreate) {
        FHandle = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0) throw EFCreateError(Format(SFCreateError, fileName, std::strerror(errno)));
        return;
    }
    // Non-blocking, so that opening a pipe returns at once; it is refused below.
    FHandle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (FHandle < 0) throw EFOpenError(Format(SFOpenError, fileName, std::strerror(errno)));
    struct stat st {};
    int err = 0;
    if (::fstat(FHandle, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = ENXIO;
    else if (mode == TFileMode::fmOpenExclusive && ::flock(FHandle, LOCK_EX | LOCK_NB) != 0)
        err = errno == EWOULDBLOCK ? EACCES : errno;
    if (err != 0) {
        ::close(FHandle);
        FHandle = -1;
        throw EFOpenError(Format(SFOpenError, fileName, std::strerror(err)));
    }
    FSize = st.st_size;
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::ReadAt(int64_t offset, uint8_t* buffer, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(FHandle, buffer + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    if (FMode == TFileMode::fmCreate || count <= 0 || FPosition >= FSize) return 0;
    count = std::min(count, FSize - FPosition);
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const int64_t bufferEnd = FBufferStart + static_cast<int64_t>(FBuffer.size());
        if (FPosition >= FBufferStart && FPosition < bufferEnd) {
            const int64_t n = std::min(count - done, bufferEnd - FPosition);
            std::memcpy(out + done, FBuffer.data() + (FPosition - FBufferStart), static_cast<size_t>(n));
            done += n;
            FPosition += n;
            continue;
        }
        const int64_t left = count - done;
        if (left >= static_cast<int64_t>(BufferSize)) {
            // Large reads go straight into the caller's memory.
            const int64_t n = ReadAt(FPosition, out + done, left);
            done += n;
            FPosition += n;
            break;
        }
        FBuffer.resize(BufferSize);
        const int64_t n = ReadAt(FPosition, FBuffer.data(), static_cast<int64_t>(BufferSize));
        FBuffer.resize(static_cast<size_t>(n));
        FBufferStart = FPosition;
        if (n == 0) break;  // the file has become shorter than it was
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    if (FMode != TFileMode::fmCreate || count <= 0) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(FHandle, p + done, static_cast<size_t>(count - done), FPosition + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    FPosition += done;
    FSize = std::max(FSize, FPosition);
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, FSize, offset, origin);
    return FPosition;
}

void ReplaceFileContent(const std::string& fileName, const void* data, size_t size) {
    // Replace the file a symbolic link points at, not the link.
    std::string target = fileName;
    char resolved[PATH_MAX];
    ssize_t n = ::readlink(fileName.c_str(), resolved, sizeof resolved - 1);
    if (n > 0) {
        resolved[n] = '\0';
        std::string link(resolved);
        if (link[0] == '/') {
            target = link;
        } else {
            size_t slash = fileName.find_last_of('/');
            target = (slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1)) + link;
        }
    }
    auto fail = [&](int err) { throw EFCreateError(Format(SFCreateError, fileName, std::strerror(err))); };

    // Writing in place would be refused for a file we may not write: so is replacing it.
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && ::access(target.c_str(), W_OK) != 0) fail(errno);

    std::string temp = target + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) fail(errno);
    // The replacement keeps the old file's mode; a new file gets the mode creating it would
    // have given, the user's umask applied.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int err = 0;
    if (::fchmod(fd, mode) != 0) err = errno;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (err == 0 && done < size) {
        ssize_t w = ::write(fd, bytes + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        fail(err);
    }
}
