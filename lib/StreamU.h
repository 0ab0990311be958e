// Byte streams (a growable memory stream and a file stream over an owned handle) and the writer
// family that puts typed values, text and raw buffers onto a stream.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Raised by a stream operation that cannot be carried out (a failed size change or seek).
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A sequence of bytes with a position. Read and Write return the count actually moved.
class TByteStream {
public:
    virtual ~TByteStream() = default;
    virtual std::int64_t Read(void* aBuf, std::int64_t aCount) = 0;
    virtual std::int64_t Write(const void* aBuf, std::int64_t aCount) = 0;
    virtual std::int64_t GetSize() = 0;
    virtual void SetSize(std::int64_t aSize) = 0;
    virtual std::int64_t GetPosition() = 0;
    virtual void SetPosition(std::int64_t aPosition) = 0;
    void Seek(std::int64_t anOffset) { SetPosition(anOffset); }
    // Copies the whole of aSource, from its start, to this stream's position through a fixed
    // buffer; raises when a write falls short. Returns the byte count.
    std::int64_t CopyFrom(TByteStream& aSource);
};

class TMemoryStream : public TByteStream {
public:
    std::int64_t Read(void* aBuf, std::int64_t aCount) override;
    std::int64_t Write(const void* aBuf, std::int64_t aCount) override;
    std::int64_t GetSize() override { return static_cast<std::int64_t>(FData.size()); }
    void SetSize(std::int64_t aSize) override;
    std::int64_t GetPosition() override { return FPosition; }
    void SetPosition(std::int64_t aPosition) override;
    const std::vector<std::uint8_t>& Data() const { return FData; }

private:
    std::vector<std::uint8_t> FData;
    std::int64_t FPosition = 0;
};

// Owns the file handle it is given and closes it when released.
class TFileStream : public TByteStream {
public:
    explicit TFileStream(HANDLE aHandle) noexcept : FHandle(aHandle) {}
    std::int64_t Read(void* aBuf, std::int64_t aCount) override;
    std::int64_t Write(const void* aBuf, std::int64_t aCount) override;
    std::int64_t GetSize() override;
    void SetSize(std::int64_t aSize) override;
    std::int64_t GetPosition() override;
    void SetPosition(std::int64_t aPosition) override;
    HANDLE Handle() const noexcept { return FHandle.get(); }

private:
    TUniqueFile FHandle;
};

// Holds the target stream, which it does not own. Unicode selects UTF-16LE for the text
// operations, otherwise the system ANSI code page.
class TStreamBase {
public:
    explicit TStreamBase(TByteStream* iStream) noexcept : fStream(iStream) {}
    virtual ~TStreamBase() = default;
    TStreamBase(const TStreamBase&) = delete;
    TStreamBase& operator=(const TStreamBase&) = delete;

    bool Opened() const noexcept { return fStream != nullptr; }
    TByteStream* Stream() const noexcept { return fStream; }

    bool Unicode = false;

protected:
    TByteStream* fStream;
};

// Every write returns false on a closed writer or when the stream raises; bytes already written
// stay written. Short writes are not detected.
class TStreamWriter : public TStreamBase {
public:
    using TStreamBase::TStreamBase;

    virtual bool Write(const std::wstring& iStr);
    virtual bool Write(const std::string& iStr);
    virtual bool WriteLn(const std::wstring& iStr);
    virtual bool WriteLn(const std::string& iStr);
    // A signed 32-bit little-endian length (UTF-16 units for text, bytes otherwise), then the data.
    virtual bool WriteStr(const std::wstring& iStr);
    virtual bool WriteStr(const std::string& iStr);
    virtual bool WriteInt(std::int32_t iInt);
    virtual bool WriteByte(std::uint8_t iByte);
    virtual bool WriteDouble(double iDouble);
    virtual bool WriteBool(bool iBool);
    virtual bool WriteWord(std::uint16_t iWord);
    virtual bool WriteBuf(const void* iBuf, std::int32_t iSiz);
    // The whole of iStream from its start, through the stream's own buffered copy.
    virtual bool WriteStream(TByteStream* iStream);
    // The whole of iStream read into one buffer and handed to WriteBuf; true unless something raised.
    virtual bool WriteStreamData(TByteStream* iStream);

private:
    // The text's bytes: 2N of UTF-16LE, or exactly N of the ANSI form (cut, or padded with "?").
    std::string EncodeText(const std::wstring& iStr) const;
    bool PutBytes(const void* aBuf, std::int64_t aCount);
    // The frame of every write: false when closed or when the stream raises.
    bool WriteRaw(const void* aBuf, std::int64_t aCount);
};

// Collects into a memory stream of its own, open for the writer's whole life.
class TMemoryStreamWriter : public TStreamWriter {
public:
    TMemoryStreamWriter();
    ~TMemoryStreamWriter() override;

    // The collected bytes.
    const std::vector<std::uint8_t>& Data() const { return FMemory.Data(); }

private:
    TMemoryStream FMemory;
};
