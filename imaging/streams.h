// Byte streams: a plain read that answers how much it got, a checked read that raises
// "Stream read error", seeking, position and size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;

    // Plain read: copies up to count bytes and returns how many it copied.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Returns the new position. A position past the end is allowed; reads there give nothing.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size();

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    // Bytes between the position and the end (0 when the position is past the end).
    int64_t Remaining();

    // Checked read and write: anything short raises EReadError / EWriteError.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);

    // Copies count bytes from source (all of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable stream in memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const void* data, size_t size);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    void SetSize(int64_t size);
    void Clear();
    uint8_t* Memory() { return FData.data(); }
    const std::vector<uint8_t>& Bytes() const { return FData; }

    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

// A read-only view of bytes owned by someone else; the bytes must outlive the stream.
class TReadOnlyMemoryStream : public TStream {
public:
    TReadOnlyMemoryStream(const void* data, size_t size)
        : FData(static_cast<const uint8_t*>(data)), FSize(static_cast<int64_t>(size)) {}

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }

protected:
    TReadOnlyMemoryStream() = default;
    void Attach(const void* data, int64_t size) {
        FData = static_cast<const uint8_t*>(data);
        FSize = size;
    }

private:
    const uint8_t* FData = nullptr;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

enum class TFileMode {
    fmOpenRead,       // read; others may read but not write
    fmCreate,         // create or truncate for writing
    fmOpenExclusive,  // read; fails while another process holds the file locked
};

// A file stream. Opened for reading, it reads through a buffer with positioned reads of the
// file's size when opened: a file another program shortens meanwhile gives short reads (and so
// "Stream read error"), never a fault. Only regular files open for reading: a pipe would block
// and a device never end. Opened for writing, bytes go straight to the file. Failures raise
// EFOpenError / EFCreateError.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }

    const std::string& FileName() const { return FFileName; }

private:
    static constexpr size_t BufferSize = 64 * 1024;
    int64_t ReadAt(int64_t offset, uint8_t* buffer, int64_t count);

    std::string FFileName;
    TFileMode FMode;
    int FHandle = -1;
    int64_t FPosition = 0;
    int64_t FSize = 0;
    std::vector<uint8_t> FBuffer;  // the file's bytes from FBufferStart, FBuffer.size() of them
    int64_t FBufferStart = 0;
};

// Replaces a file's whole content safely: the bytes go to a temporary file beside it, which is
// flushed and renamed over the old one, so a failed write (no permission, full disk) leaves the
// old file as it was. A symbolic link is followed: the file it points at is replaced. Raises
// EFCreateError "Cannot create file \"%s\". %s" on failure.
void ReplaceFileContent(const std::string& fileName, const void* data, size_t size);
